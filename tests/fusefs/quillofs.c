// quillofs: a pass-through file system for the tests. The mount point mirrors
// a backing folder; on the way it can make the disk slow or stall, and it logs
// every write, sync and reservation with a CLOCK_MONOTONIC time stamp, so that
// tests can see what reached "the disk" and when. See README.md.
#define _GNU_SOURCE
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

struct options {
    char* log;
    unsigned long long stall_after_bytes; // ULLONG_MAX: never
    unsigned stall_ms;
    unsigned stall_again_ms; // 0: no second stall
    unsigned write_delay_ms;
    unsigned sync_delay_ms;
    unsigned fallocate_delay_ms;
};

static struct options opts = {NULL, ULLONG_MAX, 0, 0, 0, 0, 0};
static char backing[PATH_MAX];
static int log_fd = -1;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned long long bytes_written; // under lock
static int stalls;                       // under lock: begun, or 2 once the first is over
static int64_t stall_until_ms;           // under lock; 0: no timed stall
// SIGUSR1 holds every operation, SIGUSR2 lets go: written by the signal
// handler, read by every FUSE worker thread, so atomic (and lock-free, as a
// signal handler needs).
static atomic_bool held;
_Static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "a signal handler needs a lock-free flag");

#define OPTION(t, p)                                                                               \
    {                                                                                              \
        t, offsetof(struct options, p), 1                                                          \
    }
static const struct fuse_opt option_spec[] = {
    OPTION("log=%s", log),
    OPTION("stall_after_bytes=%llu", stall_after_bytes),
    OPTION("stall_ms=%u", stall_ms),
    OPTION("stall_again_ms=%u", stall_again_ms),
    OPTION("write_delay_ms=%u", write_delay_ms),
    OPTION("sync_delay_ms=%u", sync_delay_ms),
    OPTION("fallocate_delay_ms=%u", fallocate_delay_ms),
    FUSE_OPT_END,
};

static int64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void sleep_ms(int64_t ms)
{
    if (ms <= 0)
        return;
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
        ;
}

// One line per event, written with one write() so that lines never mix and a
// test reading the log sees every event that has completed.
static void log_event(const char* format, ...)
{
    if (log_fd < 0)
        return;
    char line[PATH_MAX * 2 + 128];
    int n = snprintf(line, sizeof line, "%lld ", (long long)now_ms());
    va_list ap;
    va_start(ap, format);
    n += vsnprintf(line + n, sizeof line - (size_t)n - 1, format, ap);
    va_end(ap);
    if (n > (int)sizeof line - 2)
        n = (int)sizeof line - 2;
    line[n++] = '\n';
    pthread_mutex_lock(&lock);
    ssize_t w = write(log_fd, line, (size_t)n);
    pthread_mutex_unlock(&lock);
    (void)w;
}

// A stalled disk answers nothing: every operation that touches the files
// waits here until the stall is over (metadata look-ups do not, so that a
// test can still look at the mount).
static void gate(void)
{
    // Logged once per operation held, so that a test can wait for the
    // operation to be under way instead of guessing how long it takes.
    if (atomic_load(&held))
        log_event("held");
    while (atomic_load(&held))
        sleep_ms(1);
    pthread_mutex_lock(&lock);
    const int64_t until = stall_until_ms;
    pthread_mutex_unlock(&lock);
    sleep_ms(until - now_ms());
}

// What an open file or folder is to us: the backing descriptor and the name
// it was opened by, which the log shows (libfuse passes no name with
// operations on open files, see nullpath_ok below).
struct handle {
    int fd;
    char path[];
};

static struct handle* handle_of(struct fuse_file_info* fi)
{
    return (struct handle*)(uintptr_t)fi->fh;
}

static int fd_of(struct fuse_file_info* fi)
{
    return handle_of(fi)->fd;
}

static const char* name_of(struct fuse_file_info* fi)
{
    return handle_of(fi)->path;
}

static int new_handle(struct fuse_file_info* fi, int fd, const char* path)
{
    const size_t len = strlen(path) + 1;
    struct handle* h = malloc(sizeof *h + len);
    if (h == NULL) {
        close(fd);
        return -ENOMEM;
    }
    h->fd = fd;
    memcpy(h->path, path, len);
    fi->fh = (uint64_t)(uintptr_t)h;
    return 0;
}

static int free_handle(struct fuse_file_info* fi)
{
    struct handle* h = handle_of(fi);
    const int r = close(h->fd);
    free(h);
    return r;
}

static void real_path(char* out, const char* path)
{
    snprintf(out, PATH_MAX, "%s%s", backing, path);
}

static int logged(int result, const char* format, ...)
{
    char text[PATH_MAX * 2 + 64];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (result < 0)
        log_event("%s failed %d", text, -result);
    else
        log_event("%s", text);
    return result;
}

static int err(int r)
{
    return r < 0 ? -errno : r;
}

static void* fs_init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    // Every write must reach this daemon when the program writes, and every
    // sync must reach it as a sync: no write-back cache, and direct I/O so
    // that the kernel keeps no pages of ours. The kernel still computes the
    // offset of an O_APPEND write (from the size it knows) and passes it in.
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    // Files may be looked at in the backing folder between operations: no
    // cached attributes or names.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    // Unlinking an open file unlinks it, as on a disk (no .fuse_hidden files);
    // operations on open files go by their handle, which needs no name.
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    return NULL;
}

static int fs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    if (fi != NULL)
        return err(fstat(fd_of(fi), st));
    char p[PATH_MAX];
    real_path(p, path);
    return err(lstat(p, st));
}

static int fs_access(const char* path, int mask)
{
    char p[PATH_MAX];
    real_path(p, path);
    return err(access(p, mask));
}

static int fs_readlink(const char* path, char* buf, size_t size)
{
    char p[PATH_MAX];
    real_path(p, path);
    const ssize_t n = readlink(p, buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

static int fs_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags)
{
    (void)path;
    (void)offset;
    (void)flags;
    char p[PATH_MAX];
    real_path(p, name_of(fi));
    DIR* d = opendir(p);
    if (d == NULL)
        return -errno;
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
        struct stat st;
        memset(&st, 0, sizeof st);
        st.st_ino = e->d_ino;
        st.st_mode = (mode_t)(DTTOIF(e->d_type));
        if (filler(buf, e->d_name, &st, 0, 0) != 0)
            break;
    }
    closedir(d);
    return 0;
}

static int fs_mkdir(const char* path, mode_t mode)
{
    gate();
    char p[PATH_MAX];
    real_path(p, path);
    return logged(err(mkdir(p, mode)), "mkdir %s", path);
}

static int fs_unlink(const char* path)
{
    gate();
    char p[PATH_MAX];
    real_path(p, path);
    return logged(err(unlink(p)), "unlink %s", path);
}

static int fs_rmdir(const char* path)
{
    gate();
    char p[PATH_MAX];
    real_path(p, path);
    return logged(err(rmdir(p)), "rmdir %s", path);
}

static int fs_symlink(const char* target, const char* path)
{
    gate();
    char p[PATH_MAX];
    real_path(p, path);
    return logged(err(symlink(target, p)), "symlink %s %s", path, target);
}

static int fs_rename(const char* from, const char* to, unsigned int flags)
{
    gate();
    char a[PATH_MAX], b[PATH_MAX];
    real_path(a, from);
    real_path(b, to);
    return logged(err(renameat2(AT_FDCWD, a, AT_FDCWD, b, flags)), "rename %s %s", from, to);
}

static int fs_link(const char* from, const char* to)
{
    gate();
    char a[PATH_MAX], b[PATH_MAX];
    real_path(a, from);
    real_path(b, to);
    return logged(err(link(a, b)), "link %s %s", from, to);
}

static int fs_chmod(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    gate();
    if (fi != NULL)
        return logged(err(fchmod(fd_of(fi), mode)), "chmod %s 0%o", name_of(fi), mode);
    char p[PATH_MAX];
    real_path(p, path);
    return logged(err(chmod(p, mode)), "chmod %s 0%o", path, mode);
}

static int fs_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi)
{
    gate();
    if (fi != NULL)
        return err(fchown(fd_of(fi), uid, gid));
    char p[PATH_MAX];
    real_path(p, path);
    return err(lchown(p, uid, gid));
}

static int fs_truncate(const char* path, off_t size, struct fuse_file_info* fi)
{
    gate();
    if (fi != NULL)
        return logged(err(ftruncate(fd_of(fi), size)), "truncate %s %lld", name_of(fi),
                      (long long)size);
    char p[PATH_MAX];
    real_path(p, path);
    return logged(err(truncate(p, size)), "truncate %s %lld", path, (long long)size);
}

static int fs_utimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi)
{
    gate();
    if (fi != NULL)
        return err(futimens(fd_of(fi), tv));
    char p[PATH_MAX];
    real_path(p, path);
    return err(utimensat(AT_FDCWD, p, tv, AT_SYMLINK_NOFOLLOW));
}

// The backing file never has O_APPEND: the kernel has already turned an
// append into an offset, and a program that clears O_APPEND with fcntl (to
// rewrite a header with pwrite) changes only its own descriptor, not ours.
static int backing_flags(int flags)
{
    return flags & ~O_APPEND;
}

static int fs_create(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    gate();
    char p[PATH_MAX];
    real_path(p, path);
    const int fd = open(p, backing_flags(fi->flags) | O_CREAT, mode);
    if (fd < 0)
        return logged(-errno, "create %s", path);
    fi->direct_io = 1;
    return logged(new_handle(fi, fd, path), "create %s", path);
}

static int fs_open(const char* path, struct fuse_file_info* fi)
{
    gate();
    char p[PATH_MAX];
    real_path(p, path);
    const int fd = open(p, backing_flags(fi->flags));
    if (fd < 0)
        return logged(-errno, "open %s 0x%x", path, (unsigned)fi->flags);
    fi->direct_io = 1;
    return logged(new_handle(fi, fd, path), "open %s 0x%x", path, (unsigned)fi->flags);
}

static int fs_read(const char* path, char* buf, size_t size, off_t offset,
                   struct fuse_file_info* fi)
{
    (void)path;
    gate();
    return err((int)pread(fd_of(fi), buf, size, offset));
}

static int fs_write(const char* path, const char* buf, size_t size, off_t offset,
                    struct fuse_file_info* fi)
{
    (void)path;
    pthread_mutex_lock(&lock);
    bytes_written += size;
    // The second stall, if any, holds the first write that comes after the
    // first stall: a writer that has just freed one write's worth of room.
    unsigned stall_ms = 0;
    if (stalls == 0 && bytes_written > opts.stall_after_bytes) {
        stalls = 1;
        stall_ms = opts.stall_ms;
    } else if (stalls == 2 && opts.stall_again_ms > 0) {
        stalls = 3;
        stall_ms = opts.stall_again_ms;
    }
    if (stall_ms > 0)
        stall_until_ms = now_ms() + stall_ms;
    pthread_mutex_unlock(&lock);
    if (stall_ms > 0)
        log_event("stall %u", stall_ms);
    gate();
    if (stall_ms > 0) {
        log_event("resume");
        pthread_mutex_lock(&lock);
        stalls += stalls == 1;
        pthread_mutex_unlock(&lock);
    }
    sleep_ms(opts.write_delay_ms);
    const int n = err((int)pwrite(fd_of(fi), buf, size, offset));
    return logged(n, "write %s %lld %d", name_of(fi), (long long)offset, n < 0 ? (int)size : n);
}

static int fs_statfs(const char* path, struct statvfs* st)
{
    char p[PATH_MAX];
    real_path(p, path);
    return err(statvfs(p, st));
}

static int fs_flush(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    gate();
    return logged(0, "flush %s", name_of(fi));
}

static int fs_release(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    char name[PATH_MAX];
    snprintf(name, sizeof name, "%s", name_of(fi));
    return logged(err(free_handle(fi)), "release %s", name);
}

static int fs_fsync(const char* path, int datasync, struct fuse_file_info* fi)
{
    // When the program asked, apart from how long the backing disk took.
    const int64_t asked_ms = now_ms();
    gate();
    sleep_ms(opts.sync_delay_ms);
    (void)path;
    const int fd = fd_of(fi);
    return logged(err(datasync ? fdatasync(fd) : fsync(fd)), "fsync %s %d %lld", name_of(fi),
                  datasync ? 1 : 0, (long long)asked_ms);
}

static int fs_opendir(const char* path, struct fuse_file_info* fi)
{
    char p[PATH_MAX];
    real_path(p, path);
    const int fd = open(p, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -errno;
    return new_handle(fi, fd, path);
}

static int fs_releasedir(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    return err(free_handle(fi));
}

static int fs_fsyncdir(const char* path, int datasync, struct fuse_file_info* fi)
{
    (void)path;
    gate();
    sleep_ms(opts.sync_delay_ms);
    const int fd = fd_of(fi);
    return logged(err(datasync ? fdatasync(fd) : fsync(fd)), "fsyncdir %s", name_of(fi));
}

static int fs_fallocate(const char* path, int mode, off_t offset, off_t length,
                        struct fuse_file_info* fi)
{
    gate();
    sleep_ms(opts.fallocate_delay_ms);
    (void)path;
    return logged(err(fallocate(fd_of(fi), mode, offset, length)), "fallocate %s %lld %lld %d",
                  name_of(fi), (long long)offset, (long long)length, mode);
}

// Logs "hold" or "unhold" from the signal handler itself (clock_gettime and
// write are safe there), so that a test can wait until the hold is in force.
static void on_hold(int sig)
{
    const int saved = errno;
    atomic_store(&held, sig == SIGUSR1);
    if (log_fd >= 0) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        unsigned long long ms = (unsigned long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
        char digits[24];
        int n = 0;
        do {
            digits[n++] = (char)('0' + ms % 10);
            ms /= 10;
        } while (ms > 0);
        char line[48];
        int len = 0;
        while (n > 0)
            line[len++] = digits[--n];
        const char* word = sig == SIGUSR1 ? " hold\n" : " unhold\n";
        for (const char* c = word; *c != '\0'; ++c)
            line[len++] = *c;
        ssize_t w = write(log_fd, line, (size_t)len);
        (void)w;
    }
    errno = saved;
}

static int take_backing(void* data, const char* arg, int key, struct fuse_args* out)
{
    (void)data;
    (void)out;
    if (key == FUSE_OPT_KEY_NONOPT && backing[0] == '\0') {
        if (realpath(arg, backing) == NULL) {
            fprintf(stderr, "quillofs: backing folder %s: %s\n", arg, strerror(errno));
            exit(1);
        }
        return 0;
    }
    return 1;
}

int main(int argc, char* argv[])
{
    // Before anything else: a test may send these as soon as the mount is up.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_hold;
    sigaction(SIGUSR1, &sa, NULL);
    sigaction(SIGUSR2, &sa, NULL);

    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &opts, option_spec, take_backing) != 0)
        return 1;
    if (backing[0] == '\0') {
        fprintf(stderr, "usage: quillofs BACKING MOUNTPOINT [-f] [-o OPTIONS]\n");
        return 1;
    }
    if (opts.log != NULL) {
        log_fd = open(opts.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_fd < 0) {
            fprintf(stderr, "quillofs: log %s: %s\n", opts.log, strerror(errno));
            return 1;
        }
    }
    fuse_opt_add_arg(&args, "-ofsname=quillofs,subtype=quillofs");
    // The kernel has applied the caller's umask to the modes it sends.
    umask(0);

    static struct fuse_operations ops;
    ops.init = fs_init;
    ops.getattr = fs_getattr;
    ops.access = fs_access;
    ops.readlink = fs_readlink;
    ops.readdir = fs_readdir;
    ops.mkdir = fs_mkdir;
    ops.unlink = fs_unlink;
    ops.rmdir = fs_rmdir;
    ops.symlink = fs_symlink;
    ops.rename = fs_rename;
    ops.link = fs_link;
    ops.chmod = fs_chmod;
    ops.chown = fs_chown;
    ops.truncate = fs_truncate;
    ops.utimens = fs_utimens;
    ops.create = fs_create;
    ops.open = fs_open;
    ops.read = fs_read;
    ops.write = fs_write;
    ops.statfs = fs_statfs;
    ops.flush = fs_flush;
    ops.release = fs_release;
    ops.fsync = fs_fsync;
    ops.opendir = fs_opendir;
    ops.releasedir = fs_releasedir;
    ops.fsyncdir = fs_fsyncdir;
    ops.fallocate = fs_fallocate;

    const int r = fuse_main(args.argc, args.argv, &ops, NULL);
    fuse_opt_free_args(&args);
    return r;
}
