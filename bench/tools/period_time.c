/* LD_PRELOAD library: measures whether the thread that reads the capture
 * device is ever held up, by timing its consecutive snd_pcm_readn calls.
 *
 * The recorder has several threads; only the one that calls snd_pcm_readn
 * (the capture thread) is timed. Its snd_pcm_readn, snd_pcm_wait,
 * snd_pcm_start and snd_pcm_prepare calls all come from that thread, so the
 * per-period state below is touched by it alone; the stdio and sync wrappers
 * run on every thread and tell the capture thread apart by a thread-local
 * flag.
 *
 * For each read it records:
 *  - the gap from the start of the previous read to the start of this one.
 *    Start to start, so that a read that itself blocks counts too. A thread
 *    that is never held up reads once per device period (42.7 ms for 4096
 *    frames at 96 kHz); a hold-up of X stretches one gap to period + X.
 *  - how late the read starts behind the device clock: the device delivers
 *    period k (counted from snd_pcm_start) at start + (k + 1) periods, and
 *    the read of it starts that much later. This is the hold-up summed over
 *    consecutive periods, so it bounds every gap (gap <= period + lateness)
 *    and is what fills the device buffer: an overrun comes when it reaches
 *    the buffer less one period.
 *  - the work between two reads: from the return of one read to the start
 *    of the next, less the time blocked in snd_pcm_wait.
 * For the read that starts latest it also keeps, over the interval since the
 * previous read returned: the time in snd_pcm_wait, the CPU time the thread
 * got, the time it waited runnable for a CPU (the scheduler's run_delay), and
 * the time inside stdio calls it made itself.
 *
 * It also counts file writes and syncs (fwrite other than to standard
 * output or error, writev, fseeko, fdatasync, fsync) made by the capture
 * thread between its first and last read, which must be none, and keeps the
 * longest file write (fwrite, writev) and fdatasync of the other threads
 * (the writer's), to show the disk stalls the capture thread did not wait
 * for.
 *
 * Values go into fixed arrays, so the measurement adds no allocation to the
 * loop it measures. At exit it writes them to the file named by
 * BENCH_PERIOD_OUT. */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

typedef snd_pcm_sframes_t (*readn_fn)(snd_pcm_t*, void**, snd_pcm_uframes_t);
typedef int (*wait_fn)(snd_pcm_t*, int);
typedef int (*pcm_fn)(snd_pcm_t*);
typedef size_t (*fwrite_fn)(const void*, size_t, size_t, FILE*);
typedef int (*fflush_fn)(FILE*);
typedef int (*fseeko_fn)(FILE*, off_t, int);
typedef int (*sync_fn)(int);
typedef ssize_t (*writev_fn)(int, const struct iovec*, int);

static readn_fn real_readn;
static wait_fn real_wait;
static pcm_fn real_start;
static pcm_fn real_prepare;
static fwrite_fn real_fwrite;
static fflush_fn real_fflush;
static fseeko_fn real_fseeko;
static sync_fn real_fdatasync;
static sync_fn real_fsync;
static writev_fn real_writev;

/* Resolved once while the process is still single-threaded. */
__attribute__((constructor)) static void resolve(void)
{
    real_readn = (readn_fn)dlsym(RTLD_NEXT, "snd_pcm_readn");
    real_wait = (wait_fn)dlsym(RTLD_NEXT, "snd_pcm_wait");
    real_start = (pcm_fn)dlsym(RTLD_NEXT, "snd_pcm_start");
    real_prepare = (pcm_fn)dlsym(RTLD_NEXT, "snd_pcm_prepare");
    real_fwrite = (fwrite_fn)dlsym(RTLD_NEXT, "fwrite");
    real_fflush = (fflush_fn)dlsym(RTLD_NEXT, "fflush");
    real_fseeko = (fseeko_fn)dlsym(RTLD_NEXT, "fseeko");
    real_fdatasync = (sync_fn)dlsym(RTLD_NEXT, "fdatasync");
    real_fsync = (sync_fn)dlsym(RTLD_NEXT, "fsync");
    real_writev = (writev_fn)dlsym(RTLD_NEXT, "writev");
}

/* Initial-exec: a thread's first access must not allocate its TLS block. */
static __thread int on_capture_thread __attribute__((tls_model("initial-exec")));

/* Four hours of 4096-frame periods at 96 kHz; longer takes keep exact
 * min/max and count, and the percentiles of their first periods. */
#define CAPACITY (1u << 18)

static int64_t gap_ns[CAPACITY];
static int64_t late_ns[CAPACITY];
static int64_t work_ns[CAPACITY];
static uint64_t gaps;  /* start-to-start gaps recorded */
static uint64_t reads; /* reads timed against the device clock */
static int64_t max_gap_ns;
static int64_t max_late_ns = INT64_MIN;
static int64_t max_work_ns;
static int64_t max_read_ns;

/* The device clock: set at snd_pcm_start, cleared by snd_pcm_prepare. */
static int64_t origin_ns = -1;
static int64_t period_ns;
static uint64_t period_frames;
static uint64_t frames_since_start;

/* The capture thread, as seen at its first read. */
static pid_t capture_tid;
static int capture_policy = -1;
static int capture_priority;

/* The current period, since the last read returned. */
static int64_t last_entry_ns = -1;
static int64_t last_return_ns = -1;
static int64_t last_return_cpu_ns;
static int64_t last_return_delay_ns;
static int64_t waited_ns;
static int64_t stdio_ns;

/* The read that started latest. */
static uint64_t worst_index;
static int64_t worst_gap_ns;
static int64_t worst_waited_ns;
static int64_t worst_cpu_ns;
static int64_t worst_delay_ns;
static int64_t worst_stdio_ns;

/* Capture-thread file calls between its first and last read. */
static uint64_t capture_file_calls;
static uint64_t capture_file_calls_at_last_read;
/* The other threads' longest calls, updated from any of them. */
static int64_t other_fwrite_max_ns;
static int64_t other_fdatasync_max_ns;

static int64_t clock_ns(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int64_t now_ns(void)
{
    return clock_ns(CLOCK_MONOTONIC);
}

static void store_max(int64_t* target, int64_t value)
{
    int64_t seen = __atomic_load_n(target, __ATOMIC_RELAXED);
    while (value > seen &&
           !__atomic_compare_exchange_n(target, &seen, value, 0, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

/* Nanoseconds this thread has spent runnable but waiting for a CPU; -1 when
 * the kernel does not say. Read with pread on a descriptor kept open, so
 * each reading is one system call and no allocation. Capture thread only. */
static int64_t run_delay_ns(void)
{
    static int fd = -2;
    if (fd == -2)
        fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[96];
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    /* "on-cpu-ns run-delay-ns timeslices" */
    const char* p = text;
    while (*p != '\0' && *p != ' ')
        ++p;
    int64_t v = 0;
    for (++p; *p >= '0' && *p <= '9'; ++p)
        v = v * 10 + (*p - '0');
    return v;
}

int snd_pcm_prepare(snd_pcm_t* pcm)
{
    origin_ns = -1;
    return real_prepare(pcm);
}

int snd_pcm_start(snd_pcm_t* pcm)
{
    /* Taken before the device takes its own, so lateness is never
     * understated. */
    const int64_t at = now_ns();
    const int result = real_start(pcm);
    snd_pcm_uframes_t buffer = 0, period = 0;
    unsigned int rate = 0;
    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params); /* on the stack */
    if (result == 0 && snd_pcm_get_params(pcm, &buffer, &period) == 0 &&
        snd_pcm_hw_params_current(pcm, params) == 0 &&
        snd_pcm_hw_params_get_rate(params, &rate, NULL) == 0 && rate > 0 && period > 0) {
        origin_ns = at;
        period_frames = period;
        period_ns = (int64_t)(period * 1000000000ull / rate);
        frames_since_start = 0;
    }
    return result;
}

snd_pcm_sframes_t snd_pcm_readn(snd_pcm_t* pcm, void** bufs, snd_pcm_uframes_t size)
{
    const int64_t entry = now_ns();
    if (!on_capture_thread) {
        on_capture_thread = 1;
        capture_tid = (pid_t)syscall(SYS_gettid);
        struct sched_param param;
        capture_policy = sched_getscheduler(0);
        if (sched_getparam(0, &param) == 0)
            capture_priority = param.sched_priority;
        /* Only calls made between the first and the last read count. */
        capture_file_calls = 0;
    }
    if (origin_ns >= 0 && period_frames > 0) {
        /* The device delivers whole periods: the frames this read asks for
         * are all there at the end of the period that holds the last. */
        const uint64_t periods = (frames_since_start + size + period_frames - 1) / period_frames;
        const int64_t late = entry - (origin_ns + (int64_t)periods * period_ns);
        if (reads < CAPACITY)
            late_ns[reads] = late;
        ++reads;
        if (late > max_late_ns) {
            max_late_ns = late;
            worst_index = gaps + 1; /* reads count from 1 */
            worst_gap_ns = last_entry_ns >= 0 ? entry - last_entry_ns : 0;
            worst_waited_ns = waited_ns;
            worst_cpu_ns = last_return_ns >= 0 ? clock_ns(CLOCK_THREAD_CPUTIME_ID) - last_return_cpu_ns : 0;
            const int64_t delay = run_delay_ns();
            worst_delay_ns = delay >= 0 && last_return_delay_ns >= 0 ? delay - last_return_delay_ns : -1;
            worst_stdio_ns = stdio_ns;
        }
    }
    if (last_entry_ns >= 0) {
        const int64_t gap = entry - last_entry_ns;
        const int64_t work = entry - last_return_ns - waited_ns;
        if (gaps < CAPACITY) {
            gap_ns[gaps] = gap;
            work_ns[gaps] = work;
        }
        ++gaps;
        if (gap > max_gap_ns)
            max_gap_ns = gap;
        if (work > max_work_ns)
            max_work_ns = work;
    }
    const snd_pcm_sframes_t got = real_readn(pcm, bufs, size);
    const int64_t returned = now_ns();
    if (returned - entry > max_read_ns)
        max_read_ns = returned - entry;
    if (got > 0)
        frames_since_start += (uint64_t)got;
    capture_file_calls_at_last_read = capture_file_calls;
    last_entry_ns = entry;
    last_return_cpu_ns = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    last_return_delay_ns = run_delay_ns();
    /* Taken last, so the readings above are not counted as work. */
    last_return_ns = now_ns();
    waited_ns = 0;
    stdio_ns = 0;
    return got;
}

int snd_pcm_wait(snd_pcm_t* pcm, int timeout)
{
    const int64_t start = now_ns();
    const int result = real_wait(pcm, timeout);
    waited_ns += now_ns() - start;
    return result;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* f)
{
    const int64_t start = now_ns();
    const size_t done = real_fwrite(data, size, count, f);
    const int64_t took = now_ns() - start;
    if (on_capture_thread) {
        stdio_ns += took;
        /* The status line and warnings go to the terminal's queue. */
        if (f != stdout && f != stderr)
            ++capture_file_calls;
    } else {
        store_max(&other_fwrite_max_ns, took);
    }
    return done;
}

ssize_t writev(int fd, const struct iovec* pieces, int count)
{
    const int64_t start = now_ns();
    const ssize_t done = real_writev(fd, pieces, count);
    const int64_t took = now_ns() - start;
    if (on_capture_thread)
        ++capture_file_calls;
    else
        store_max(&other_fwrite_max_ns, took);
    return done;
}

int fflush(FILE* f)
{
    const int64_t start = now_ns();
    const int result = real_fflush(f);
    if (on_capture_thread)
        stdio_ns += now_ns() - start;
    return result;
}

int fseeko(FILE* f, off_t offset, int whence)
{
    const int64_t start = now_ns();
    const int result = real_fseeko(f, offset, whence);
    if (on_capture_thread) {
        stdio_ns += now_ns() - start;
        ++capture_file_calls;
    }
    return result;
}

int fdatasync(int fd)
{
    const int64_t start = now_ns();
    const int result = real_fdatasync(fd);
    const int64_t took = now_ns() - start;
    if (on_capture_thread)
        ++capture_file_calls;
    else
        store_max(&other_fdatasync_max_ns, took);
    return result;
}

int fsync(int fd)
{
    if (on_capture_thread)
        ++capture_file_calls;
    return real_fsync(fd);
}

static int by_value(const void* a, const void* b)
{
    const int64_t x = *(const int64_t*)a;
    const int64_t y = *(const int64_t*)b;
    return (x > y) - (x < y);
}

static double us(int64_t ns)
{
    return (double)ns / 1000.0;
}

/* Sorts the first `count` values and prints median, p99 and max
 * (nearest rank) as NAME_median_us etc. */
static void percentiles(FILE* out, const char* name, int64_t* values, uint64_t count, int64_t max)
{
    const size_t kept = count < CAPACITY ? (size_t)count : CAPACITY;
    if (kept == 0)
        return;
    qsort(values, kept, sizeof values[0], by_value);
    const size_t median = (kept + 1) / 2 - 1;
    size_t p99 = (size_t)((kept * 99 + 99) / 100);
    p99 = p99 == 0 ? 0 : p99 - 1;
    fprintf(out, "%s_median_us %.1f\n", name, us(values[median]));
    fprintf(out, "%s_p99_us %.1f\n", name, us(values[p99]));
    fprintf(out, "%s_max_us %.1f\n", name, us(max));
}

__attribute__((destructor)) static void report(void)
{
    const char* path = getenv("BENCH_PERIOD_OUT");
    if (path == NULL || *path == '\0')
        return;
    FILE* out = fopen(path, "w");
    if (out == NULL)
        return;
    fprintf(out, "gaps %llu\n", (unsigned long long)gaps);
    fprintf(out, "timed_reads %llu\n", (unsigned long long)reads);
    if (capture_policy >= 0) {
        fprintf(out, "capture_tid %d\n", (int)capture_tid);
        fprintf(out, "capture_policy %d\n", capture_policy);
        fprintf(out, "capture_priority %d\n", capture_priority);
    }
    fprintf(out, "period_us %.1f\n", us(period_ns));
    percentiles(out, "gap", gap_ns, gaps, max_gap_ns);
    percentiles(out, "work", work_ns, gaps, max_work_ns);
    percentiles(out, "late", late_ns, reads, max_late_ns);
    fprintf(out, "read_max_us %.1f\n", us(max_read_ns));
    if (reads > 0) {
        fprintf(out, "worst_read %llu\n", (unsigned long long)worst_index);
        fprintf(out, "worst_gap_us %.1f\n", us(worst_gap_ns));
        fprintf(out, "worst_waited_us %.1f\n", us(worst_waited_ns));
        fprintf(out, "worst_cpu_us %.1f\n", us(worst_cpu_ns));
        if (worst_delay_ns >= 0)
            fprintf(out, "worst_runnable_us %.1f\n", us(worst_delay_ns));
        fprintf(out, "worst_stdio_us %.1f\n", us(worst_stdio_ns));
    }
    fprintf(out, "capture_file_calls %llu\n", (unsigned long long)capture_file_calls_at_last_read);
    fprintf(out, "other_fwrite_max_us %.1f\n", us(other_fwrite_max_ns));
    fprintf(out, "other_fdatasync_max_us %.1f\n", us(other_fdatasync_max_ns));
    fclose(out);
}
