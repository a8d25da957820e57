/* LD_PRELOAD library for bench/selftest: plants the faults that bench/alloc
 * and bench/load exist to catch, so that their checks are seen to fail.
 *   BENCH_FAULT=leak   one leaked allocation per snd_pcm_readn
 *   BENCH_FAULT=stall  half a second of "work" after the 50th snd_pcm_readn,
 *                      longer than the device buffer */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef long (*readn_fn)(void*, void**, unsigned long);

/* Written through volatile so the compiler cannot drop the allocation. */
static void* volatile leaked;

long snd_pcm_readn(void* pcm, void** bufs, unsigned long size)
{
    static readn_fn real;
    static long calls;
    if (real == NULL)
        real = (readn_fn)dlsym(RTLD_NEXT, "snd_pcm_readn");
    const char* fault = getenv("BENCH_FAULT");
    if (fault != NULL && strcmp(fault, "leak") == 0) {
        void* p = malloc(24);
        if (p != NULL)
            memset(p, 1, 24);
        leaked = p;
    }
    const long got = real(pcm, bufs, size);
    if (fault != NULL && strcmp(fault, "stall") == 0 && ++calls == 50) {
        const struct timespec half = {0, 500000000};
        nanosleep(&half, NULL);
    }
    return got;
}
