// A take across files: for each kept channel a series of files that follow
// one another at exact frames, the one in progress written as NAME.part and
// renamed to NAME once it is sealed, so that every file without ".part" is
// final.
#pragma once

#include <cstdint>
#include <string>

#include "wav/output_files.hpp"

struct Series {
    int64_t split_frames = 0; // frames in each file but the last; 0: no series
    std::string pattern[2];   // per kept channel
    // Written by the writer thread alone during the take, read by the capture
    // thread once the writer has stopped.
    long number = 0;           // of the files in progress, from 1; 0 before the first
    bool in_progress = false;  // their files are open
    std::string name[2];       // their final names (their files are NAME.part)
    long files_done = 0;       // sealed and renamed, in every channel's series
    bool open_failed = false;  // the take ended at a file that could not be made
    int64_t sealed_frames = 0; // the frames of the take in the files sealed
};

// Sets the output file set up for a series whose files are opened as the
// take goes on: the patterns from the file list (or made ones), the header
// every file starts with (one that states no audio yet). Nothing is made.
void StartSeries(OutputFiles* set, Series* series, int auto_naming, char* file_list, char* scratch,
                 int interleave, uint32_t sample_bytes, uint32_t rate_hz, int64_t split_frames);

// A planned series that cannot fit is refused before it starts: the free
// space of the file system of the first files, and the file-size limit for
// the longest file. Returns 0, or 1 after printing one line on standard
// error ("Can't reserve BYTES for NAME: REASON").
int CheckSeriesSpace(const Series* series, int64_t planned_frames, uint32_t bytes_per_frame);

// Opens the next file of every kept channel's series; its first frame is
// frame `first_frame` of the take, captured at `first_frame_ns`
// (CLOCK_REALTIME): its name from the pattern, the missing folders made,
// NAME.part created exclusively (and NAME itself must not exist), locked
// and given the header. Returns 0, or the errno with the channel.
int OpenSeriesFiles(OutputFiles* set, Series* series, int64_t first_frame, int64_t first_frame_ns,
                    int* channel);

// Seals the files in progress at `frames` frames: cut there, the header
// states them, the data is durable, then NAME.part becomes NAME (never over
// a file that appeared meanwhile) and the folder is synced. A file that
// holds nothing is removed instead. Returns 0, or the errno of the first
// failure with its channel.
int SealSeriesFiles(OutputFiles* set, Series* series, int64_t frames, uint32_t bytes_per_frame,
                    int* channel);
