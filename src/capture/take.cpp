// The take: plan, open the files, capture period by period, report, close.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "capture/capture.hpp"
#include "capture/device.hpp"
#include "wav/wav.hpp"

namespace {

// A device that delivers nothing for this long has stalled: far beyond the
// 8-period buffer at every rate quillo records.
constexpr int kStallMs = 5000;
// Waits are cut into slices so that Ctrl-C is seen within one slice even
// while the device delivers nothing.
constexpr int kWaitSliceMs = 100;

enum class Wait { kReady, kStopped, kStalled };

int64_t MillisecondsSince(const timespec& start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Waits until a whole period can be read, so that the blocking read never
// blocks for ever.
Wait WaitForPeriod(snd_pcm_t* pcm)
{
    // A capture stream that is only prepared delivers nothing to wait for;
    // the read would start it, so start it here.
    if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED)
        snd_pcm_start(pcm);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (StopSignal())
            return Wait::kStopped;
        const int ready = snd_pcm_wait(pcm, kWaitSliceMs);
        // Ready, or an error state that the read reports in its own words.
        if (ready != 0 && ready != -EINTR)
            return Wait::kReady;
        if (StopSignal())
            return Wait::kStopped;
        if (MillisecondsSince(start) >= kStallMs)
            return Wait::kStalled;
    }
}

void ReportDeviceFailure(const char* text)
{
    // End the status line first: it has no newline of its own.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "Capture device failed: %s\n", text);
}

} // namespace

int RECORD(char* device, uint32_t rate_hz, float duration_s, int32_t channels,
           uint32_t sample_bytes, int32_t auto_naming, char* file_list, char* scratch,
           int32_t interleave)
{
    IgnoreFileSizeSignal();
    OutputFiles files{};
    files.kept[0] = 1;
    files.kept[1] = channels == 2 ? 1 : 0;
    TakeMeter meter;
    MeterStart(&meter, rate_hz, channels, interleave);

    snd_pcm_t* pcm = nullptr;
    int period = 0;
    if (SetupDevice(device, rate_hz, sample_bytes, &pcm, &period) != 0)
        return 1;

    const size_t plane_bytes = static_cast<size_t>(period) * sample_bytes;
    char* pairs[2] = {static_cast<char*>(std::calloc(2, plane_bytes)),
                      static_cast<char*>(std::calloc(2, plane_bytes))};
    char* interleave_buf = static_cast<char*>(std::malloc(2 * plane_bytes));
    const uint32_t bytes_per_frame = sample_bytes * (interleave == 1 ? 2 : 1);
    int64_t planned = 0;
    QUANTIZE(period, rate_hz, &duration_s, &planned);

    int status = 0;
    if (pairs[0] == nullptr || pairs[1] == nullptr || interleave_buf == nullptr) {
        std::printf("Not enough memory for the capture buffers\n");
        status = 1;
    } else if (RefuseOverlongTake(planned, period, bytes_per_frame) != 0) {
        status = 1;
    } else if (OpenOutputFiles(&files, channels, sample_bytes, auto_naming, file_list, scratch,
                               interleave, planned, rate_hz) != 0) {
        status = 1;
    } else if (ReserveTakeSpace(&files, planned, bytes_per_frame) != 0) {
        DiscardOutputFiles(&files);
        status = 1;
    }
    if (status != 0) {
        std::free(pairs[0]);
        std::free(pairs[1]);
        std::free(interleave_buf);
        snd_pcm_close(pcm);
        return status;
    }

    CatchStopSignals();
    std::printf(interleave == 1 ? "Recording in Stereo\n" : "Recording\n");
    snd_pcm_prepare(pcm);

    int64_t processed = 0;
    int64_t write_pos = 0;
    int overruns = 0;
    int next = 0;
    int failed = 0;
    while (processed < planned) {
        snd_pcm_avail_update(pcm);
        const Wait wait = WaitForPeriod(pcm);
        if (wait == Wait::kStopped)
            break;
        if (wait == Wait::kStalled) {
            ReportDeviceFailure("no frames for 5 seconds");
            failed = 1;
            break;
        }
        char* current = pairs[next];
        void* planes[2] = {current, current + plane_bytes};
        snd_pcm_sframes_t got;
        do
            got = snd_pcm_readn(pcm, planes, static_cast<snd_pcm_uframes_t>(period));
        while (got == -EINTR && !StopSignal());
        // The period in progress is not written: every file holds whole periods.
        if (StopSignal())
            break;
        next = 1 - next;

        if (got == -EPIPE || got == -ESTRPIPE) {
            ++overruns;
            std::printf("\nRX\n");
            if (got == -EPIPE)
                snd_pcm_prepare(pcm);
            else
                snd_pcm_recover(pcm, static_cast<int>(got), 1);
            got = 0;
        } else if (got < 0) {
            ReportDeviceFailure(snd_strerror(static_cast<int>(got)));
            failed = 1;
            break;
        }
        // Frames the device did not deliver are silence, never stale audio.
        if (got < period) {
            const size_t missing = static_cast<size_t>(period - got) * sample_bytes;
            std::memset(current + got * sample_bytes, 0, missing);
            std::memset(current + plane_bytes + got * sample_bytes, 0, missing);
        }

        // The meter runs one period behind: it scans the other pair.
        const char* other = pairs[next];
        MeterScan(&meter, period, sample_bytes, other, other + plane_bytes);
        if (WritePeriod(&files, interleave, sample_bytes, period, write_pos, current,
                        current + plane_bytes, interleave_buf) != 0) {
            failed = 1;
            break;
        }
        processed += period;
        UpdateClock(planned, -processed, rate_hz);
        MeterShow(&meter, sample_bytes);
        write_pos += period;
    }
    ReleaseStopSignals();
    const int stop_signal = StopSignal();
    const bool early = stop_signal != 0 || failed;

    MeterReport(&meter, sample_bytes, files.kept, interleave);
    if (overruns != 0)
        std::printf("\nRecord Overruns = %i\n", overruns);
    if (early) {
        std::printf("Take stopped after %.2f of %.2f seconds\n",
                    static_cast<double>(processed) / rate_hz,
                    static_cast<double>(planned) / rate_hz);
        std::fflush(stdout);
        if (SealShortTake(&files, bytes_per_frame, period) != 0)
            failed = 1;
    }
    if (CloseOutputFiles(&files) != 0)
        failed = 1;
    if (!failed)
        std::printf("Done\n");
    std::fflush(stdout);
    if (early)
        snd_pcm_drop(pcm);
    else
        snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    std::free(pairs[0]);
    std::free(pairs[1]);
    std::free(interleave_buf);

    if (stop_signal != 0)
        RaiseAgain(stop_signal);
    return failed ? 1 : 0;
}
