// The writer thread's room on the disk, and the files of a series: for the
// writer alone.
#pragma once

#include <cstdint>

#include "capture/writer.hpp"

// A take of open length: how many of the `count` periods about to be
// written have room on the disk, reserving a minute ahead while it can.
// None when the disk (or the file-size limit) holds no more: the failure
// is recorded, and the take ends at its last whole period.
int RoomForPeriods(TakeWriter* writer, int count);

// A series: `count` periods to the files in progress, which end and begin
// at exact frames; the next files are opened as their first frame comes,
// named by when it was captured (`stamps_ns`, one per period). `right` is
// null where left[k] holds period k's frames. False after a failure, which
// is recorded.
bool WriteToSeries(TakeWriter* writer, const char** left, const char** right,
                   const int64_t* stamps_ns, int count);
