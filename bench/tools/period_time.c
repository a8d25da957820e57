/* LD_PRELOAD library: measures the work the recorder does per period, from
 * the return of one snd_pcm_readn to the entry of the next, less the time it
 * spends blocked in snd_pcm_wait in between (waiting for a paced device is
 * idle time, not work). The intervals go into a fixed array so that the
 * measurement adds no allocation to the loop it measures.
 *
 * To tell a long period's cause, it also sums per period the time spent in
 * the stdio calls the recorder makes itself (fwrite, fflush, fseeko: where
 * the kernel can block it on the disk or the terminal), the CPU time the
 * thread really got, and the time it waited, runnable, for a CPU (the
 * scheduler's run_delay); the rest of a period it was blocked.
 *
 * At exit it writes to the file named by BENCH_PERIOD_OUT the count, min,
 * median, p99 and max of the work in microseconds, and the worst period's
 * breakdown. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

typedef long (*readn_fn)(void*, void**, unsigned long);
typedef int (*wait_fn)(void*, int);
typedef size_t (*fwrite_fn)(const void*, size_t, size_t, FILE*);
typedef int (*fflush_fn)(FILE*);
typedef int (*fseeko_fn)(FILE*, off_t, int);

/* Four hours of 4096-frame periods at 96 kHz; longer takes keep exact
 * min/max and count, and the percentiles of their first periods. */
#define CAPACITY (1u << 18)

static int64_t work_ns[CAPACITY];
static uint64_t intervals;
static int64_t min_ns = INT64_MAX;
static int64_t max_ns;
static int64_t max_gap_ns; /* the same interval with the waits left in */
static int64_t max_read_ns;

/* The current period, since the last readn returned. */
static int64_t last_return_ns = -1;
static int64_t last_return_cpu_ns;
static int64_t last_return_delay_ns;
static int64_t waited_ns;
static int64_t fwrite_ns;
static int64_t fflush_ns;
static int64_t fseeko_ns;

/* The worst period so far. */
static uint64_t worst_index;
static int64_t worst_cpu_ns;
static int64_t worst_delay_ns;
static int64_t worst_fwrite_ns;
static int64_t worst_fflush_ns;
static int64_t worst_fseeko_ns;

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

/* Nanoseconds this thread has spent runnable but waiting for a CPU; -1 when
 * the kernel does not say. Read with pread on a descriptor kept open, so
 * each reading is one system call and no allocation. */
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

long snd_pcm_readn(void* pcm, void** bufs, unsigned long size)
{
    static readn_fn real;
    if (real == NULL)
        real = (readn_fn)dlsym(RTLD_NEXT, "snd_pcm_readn");
    const int64_t entry = now_ns();
    if (last_return_ns >= 0) {
        const int64_t gap = entry - last_return_ns;
        const int64_t work = gap - waited_ns;
        if (intervals < CAPACITY)
            work_ns[intervals] = work;
        if (work < min_ns)
            min_ns = work;
        if (work > max_ns) {
            max_ns = work;
            worst_index = intervals + 1; /* periods count from 1 */
            worst_cpu_ns = clock_ns(CLOCK_THREAD_CPUTIME_ID) - last_return_cpu_ns;
            const int64_t delay = run_delay_ns();
            worst_delay_ns = delay >= 0 && last_return_delay_ns >= 0 ? delay - last_return_delay_ns : -1;
            worst_fwrite_ns = fwrite_ns;
            worst_fflush_ns = fflush_ns;
            worst_fseeko_ns = fseeko_ns;
        }
        if (gap > max_gap_ns)
            max_gap_ns = gap;
        ++intervals;
    }
    const long got = real(pcm, bufs, size);
    const int64_t returned = now_ns();
    if (returned - entry > max_read_ns)
        max_read_ns = returned - entry;
    last_return_cpu_ns = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    last_return_delay_ns = run_delay_ns();
    /* Taken last, so the readings above are not counted as work. */
    last_return_ns = now_ns();
    waited_ns = 0;
    fwrite_ns = 0;
    fflush_ns = 0;
    fseeko_ns = 0;
    return got;
}

int snd_pcm_wait(void* pcm, int timeout)
{
    static wait_fn real;
    if (real == NULL)
        real = (wait_fn)dlsym(RTLD_NEXT, "snd_pcm_wait");
    const int64_t start = now_ns();
    const int result = real(pcm, timeout);
    waited_ns += now_ns() - start;
    return result;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* f)
{
    static fwrite_fn real;
    if (real == NULL)
        real = (fwrite_fn)dlsym(RTLD_NEXT, "fwrite");
    const int64_t start = now_ns();
    const size_t done = real(data, size, count, f);
    fwrite_ns += now_ns() - start;
    return done;
}

int fflush(FILE* f)
{
    static fflush_fn real;
    if (real == NULL)
        real = (fflush_fn)dlsym(RTLD_NEXT, "fflush");
    const int64_t start = now_ns();
    const int result = real(f);
    fflush_ns += now_ns() - start;
    return result;
}

int fseeko(FILE* f, off_t offset, int whence)
{
    static fseeko_fn real;
    if (real == NULL)
        real = (fseeko_fn)dlsym(RTLD_NEXT, "fseeko");
    const int64_t start = now_ns();
    const int result = real(f, offset, whence);
    fseeko_ns += now_ns() - start;
    return result;
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

__attribute__((destructor)) static void report(void)
{
    const char* path = getenv("BENCH_PERIOD_OUT");
    if (path == NULL || *path == '\0')
        return;
    FILE* out = fopen(path, "w");
    if (out == NULL)
        return;
    const size_t kept = intervals < CAPACITY ? (size_t)intervals : CAPACITY;
    fprintf(out, "intervals %llu\n", (unsigned long long)intervals);
    if (kept > 0) {
        qsort(work_ns, kept, sizeof work_ns[0], by_value);
        /* Nearest-rank percentiles. */
        const size_t median = (kept + 1) / 2 - 1;
        size_t p99 = (size_t)((kept * 99 + 99) / 100);
        p99 = p99 == 0 ? 0 : p99 - 1;
        fprintf(out, "work_min_us %.1f\n", us(min_ns));
        fprintf(out, "work_median_us %.1f\n", us(work_ns[median]));
        fprintf(out, "work_p99_us %.1f\n", us(work_ns[p99]));
        fprintf(out, "work_max_us %.1f\n", us(max_ns));
        fprintf(out, "gap_max_us %.1f\n", us(max_gap_ns));
        fprintf(out, "read_max_us %.1f\n", us(max_read_ns));
        fprintf(out, "worst_period %llu\n", (unsigned long long)worst_index);
        fprintf(out, "worst_cpu_us %.1f\n", us(worst_cpu_ns));
        if (worst_delay_ns >= 0)
            fprintf(out, "worst_runnable_us %.1f\n", us(worst_delay_ns));
        fprintf(out, "worst_fwrite_us %.1f\n", us(worst_fwrite_ns));
        fprintf(out, "worst_fflush_us %.1f\n", us(worst_fflush_ns));
        fprintf(out, "worst_fseeko_us %.1f\n", us(worst_fseeko_ns));
    }
    fclose(out);
}
