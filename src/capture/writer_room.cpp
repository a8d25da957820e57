// The writer's room on the disk: reserved ahead as a take of open length
// or a series goes, and the files of a series written at exact frames.
#include "capture/writer_room.hpp"

#include <algorithm>

#include "capture/capture.hpp"
#include "wav/series.hpp"

namespace {

// Tells the capture thread, once, that less than a minute of room is left
// for the file of `channel`: its name is copied, as a series moves on.
void SaySpaceIsLow(TakeWriter* writer, int err, int channel)
{
    if (writer->space_low.load(std::memory_order_relaxed) != 0)
        return;
    const char* name = writer->files->name[channel];
    writer->space_low_name = name != nullptr ? name : "";
    writer->space_low.store(err, std::memory_order_release);
}

// A series: how many of the `frames` about to be written to the file in
// progress, which holds `in_file`, have room on the disk: all of them,
// reserved a minute ahead (or to the file's end) while it can; else as many
// as end at a whole period of the take (the first begins `into_period`
// frames into one), and the failure is recorded: the take ends there.
int64_t RoomInSeriesFile(TakeWriter* writer, int64_t in_file, int64_t frames, int64_t into_period)
{
    if (in_file + frames <= writer->reserved_frames)
        return frames;
    const int64_t ahead = std::max(
        std::min(writer->reserved_frames + writer->reserve_frames, writer->series->split_frames),
        in_file + frames);
    int channel = 0;
    int err = ReserveAhead(writer->files, writer->reserved_frames, ahead - writer->reserved_frames,
                           writer->bytes_per_frame, &channel);
    if (err == 0) {
        writer->reserved_frames = ahead;
        return frames;
    }
    SaySpaceIsLow(writer, err, channel);
    const int64_t period = writer->period_frames;
    int no_room = 0;
    int64_t fit = frames;
    while (fit > 0 && in_file + fit > writer->reserved_frames) {
        err = ReserveAhead(writer->files, writer->reserved_frames,
                           in_file + fit - writer->reserved_frames, writer->bytes_per_frame,
                           &channel);
        if (err == 0) {
            writer->reserved_frames = in_file + fit;
            break;
        }
        if (no_room == 0)
            no_room = err;
        // The next shorter run that ends at a whole period of the take.
        const int64_t past = (into_period + fit) % period;
        fit -= past != 0 ? past : period;
    }
    if (no_room != 0)
        RecordFirstError(&writer->queue, no_room, channel);
    return fit > 0 ? fit : 0;
}

} // namespace

int RoomForPeriods(TakeWriter* writer, int count)
{
    const int64_t period = writer->period_frames;
    const int64_t written = writer->written_frames.load(std::memory_order_relaxed);
    if (written + count * period <= writer->reserved_frames)
        return count;
    int channel = 0;
    int err = ReserveAhead(writer->files, writer->reserved_frames, writer->reserve_frames,
                           writer->bytes_per_frame, &channel);
    if (err == 0) {
        writer->reserved_frames += writer->reserve_frames;
        const int64_t room = (writer->reserved_frames - written) / period;
        return room < count ? static_cast<int>(room) : count;
    }
    SaySpaceIsLow(writer, err, channel);
    // Less than a minute left: this batch alone, as much of it as fits.
    for (int fit = count; fit > 0; --fit) {
        const int64_t end = written + fit * period;
        if (end <= writer->reserved_frames)
            return fit;
        err = ReserveAhead(writer->files, writer->reserved_frames, end - writer->reserved_frames,
                           writer->bytes_per_frame, &channel);
        if (err == 0) {
            writer->reserved_frames = end;
            return fit;
        }
    }
    RecordFirstError(&writer->queue, err, channel);
    return 0;
}

bool WriteToSeries(TakeWriter* writer, const char** left, const char** right,
                   const int64_t* stamps_ns, int count)
{
    Series* series = writer->series;
    OutputFiles* files = writer->files;
    const int64_t period = writer->period_frames;
    const int64_t total = count * period;
    const int64_t take_frames = writer->written_frames.load(std::memory_order_relaxed);
    int channel = 0;
    int err = 0;
    for (int64_t at = 0; at < total && err == 0;) {
        const int k = static_cast<int>(at / period);
        if (!series->in_progress) {
            const int64_t first_ns =
                FrameStampNs(stamps_ns[k], at % period, writer->period_frames, writer->rate_hz);
            err = OpenSeriesFiles(files, series, take_frames + at, first_ns, &channel);
            writer->reserved_frames = 0;
            series->open_failed = err != 0;
            if (err != 0)
                break;
        }
        const int64_t in_file = files->frames_written[files->kept[0] ? 0 : 1];
        const int64_t wanted = std::min(total - at, series->split_frames - in_file);
        const int64_t frames = RoomInSeriesFile(writer, in_file, wanted, at % period);
        if (frames > 0)
            err = WriteFramesQuietly(files, writer->interleave, writer->sample_bytes,
                                     writer->period_frames, left + k,
                                     right != nullptr ? right + k : nullptr, at % period, frames,
                                     writer->interleave_buf, &channel);
        if (frames < wanted)
            return false; // the disk holds no more: recorded
        at += frames;
        if (err == 0 && in_file + frames == series->split_frames)
            err = SealSeriesFiles(files, series, series->split_frames, writer->bytes_per_frame,
                                  &channel);
    }
    if (err != 0)
        RecordFirstError(&writer->queue, err, channel);
    return err == 0;
}
