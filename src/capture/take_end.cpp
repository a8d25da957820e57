// The end of a take, whatever ended it: one ordered way out, and the report.
#include <cstdio>

#include "capture/take.hpp"

namespace {

// What has yet to reach the disk, for the line that says why the end of a
// take waits.
double PendingSeconds(const void* arg)
{
    return WriterPendingSeconds(static_cast<const TakeWriter*>(arg));
}

// The smallest count of whole periods that reached every file.
int64_t FramesReached(const OutputFiles* files)
{
    int64_t reached = -1;
    for (int c = 0; c < 2; ++c)
        if (files->file[c] != nullptr && (reached < 0 || files->frames_written[c] < reached))
            reached = files->frames_written[c];
    return reached < 0 ? 0 : reached;
}

// Capture stops: nothing after the last period is wanted, and a plugin's
// threads end before the terminal's streams are given back. The period
// written last, which the live meter (one period behind) never scanned, is
// scanned now, so that the report is the take's; its clip warning first.
void StopCapture(Take* take)
{
    CloseDevice(&take->device);
    if (!take->started)
        return;
    LowerCapturePriority();
    const char* last = QueuePrevious(&take->writer.queue);
    MeterScan(&take->meter, take->period_frames, take->request.sample_bytes, last,
              last + take->plane_bytes);
    ConsoleFlush();
}

// The writer writes everything captured, then stops; the terminal may say
// meanwhile that the end waits for the disk. (Everything is queued before
// the terminal thread may ask what still waits.)
void StopWriter(Take* take)
{
    if (take->started) {
        QueueOwedSilence(&take->writer.queue);
        ConsoleDiskWait(&take->console, PendingSeconds, &take->writer);
        WriterFinish(&take->writer);
        if (take->write_err == 0)
            take->write_err = QueueError(&take->writer.queue, &take->write_channel);
        take->failed |= take->write_err != 0;
    }
    WriterFree(&take->writer);
}

// Whether the files hold less than the planned take. A take of open length
// is sealed as it ends, whatever ends it.
bool EndedEarly(const Take* take)
{
    return take->open_length || take->captured_frames < take->planned_frames || take->failed;
}

// The files of a series in progress are sealed at the last whole period
// that reached them all, and renamed: every file of the take is then final.
// Returns the frames of the take in its files.
int64_t ReleaseSeries(Take* take)
{
    OutputFiles* files = &take->files;
    if (files->file[0] != nullptr || files->file[1] != nullptr) {
        if (EndedEarly(take))
            SealShortTake(files, take->bytes_per_frame, take->period_frames);
        const int64_t frames = files->frames_written[files->file[0] != nullptr ? 0 : 1];
        int channel = 0;
        const int err =
            SealSeriesFiles(files, &take->series, frames, take->bytes_per_frame, &channel);
        if (err != 0)
            KeepFileError(files, channel, err);
    }
    ConsoleDiskWaitOver(&take->console);
    TakeIsSafe();
    return take->series.sealed_frames;
}

// A take's files are sealed (a short take's headers state exactly what
// they hold) and synced before "Done", which promises a take that survives
// a power cut; a take that never started leaves nothing of this run's.
// Returns the frames that every file holds.
int64_t ReleaseFiles(Take* take)
{
    OutputFiles* files = &take->files;
    if (!take->started) {
        DiscardOutputFiles(files);
        return 0;
    }
    if (take->series.split_frames > 0)
        return ReleaseSeries(take);
    if (EndedEarly(take))
        SealShortTake(files, take->bytes_per_frame, take->period_frames);
    const int64_t reached_frames = FramesReached(files);
    int sync_channel = 0;
    const int sync_err = SyncOutputFiles(files, &sync_channel);
    if (sync_err != 0 && !take->failed && files->error[0] == 0 && files->error[1] == 0)
        KeepFileError(files, sync_channel, sync_err);
    CloseOutputFiles(files);
    ConsoleDiskWaitOver(&take->console);
    TakeIsSafe();
    return reached_frames;
}

// Everything the take printed has reached the terminal: the outcome is
// written directly and whole, so a full queue never drops it.
void ReportTake(Take* take, uint64_t dropped_lines, int64_t reached_frames)
{
    const TakeRequest& request = take->request;
    const double rate_hz = request.rate_hz;
    // The last status line tells what the files hold: a failed write leaves
    // captured periods that never reached them.
    if (reached_frames != take->captured_frames) {
        ShowStatus(&take->meter, request.sample_bytes,
                   ShowsElapsed(take) ? reached_frames : take->planned_frames - reached_frames,
                   request.rate_hz, ShowsElapsed(take));
    }
    if (dropped_lines != 0)
        std::printf("\n%llu warning lines were not shown: the terminal took no text\n",
                    static_cast<unsigned long long>(dropped_lines));
    if (take->write_err != 0)
        ReportWriteFailure(take->files.name[take->write_channel], take->write_err,
                           take->series.open_failed);
    MeterReport(&take->meter, request.sample_bytes, take->files.kept, request.interleave);
    if (take->overruns != 0)
        std::printf("\nRecord Overruns = %i\n", take->overruns);
    if (take->disk_lost_periods != 0)
        ReportDiskLoss(take, take->disk_lost_periods, " in all");
    if (take->open_length)
        std::printf("Take length: %.2f seconds\n", static_cast<double>(reached_frames) / rate_hz);
    else if (EndedEarly(take))
        std::printf("Take stopped after %.2f of %.2f seconds\n",
                    static_cast<double>(reached_frames) / rate_hz,
                    static_cast<double>(take->planned_frames) / rate_hz);
    if (take->series.split_frames > 0)
        std::printf("Files written: %ld\n", take->series.files_done);
    if (ReportFileErrors(&take->files) != 0)
        take->failed = true;
    if (!take->failed)
        std::printf("Done\n");
    std::fflush(stdout);
}

} // namespace

int EndTake(Take* take)
{
    StopCapture(take);
    StopWriter(take);
    const int64_t reached_frames = ReleaseFiles(take);
    uint64_t dropped_lines = 0;
    if (take->console_open)
        dropped_lines = ConsoleClose(&take->console);
    if (take->started)
        ReportTake(take, dropped_lines, reached_frames);
    ReleaseStopSignals();
    // A stop signal is not lost to a refusal or a failure that came with it.
    if (StopSignal() != 0)
        RaiseAgain(StopSignal());
    return take->started && !take->failed ? 0 : 1;
}
