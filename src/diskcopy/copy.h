#pragma once
#include <cstdio>

#include "diskcopy/progress.h"
#include "link/port.h"

// The -w task: has the adapter read the 35 tracks of the disk in `drive` with
// "ws 35 0x%x" and stores every sector packet it sends at its place in `file`
// (open with "wb+", owned by the caller). A live progress display is shown on
// standard error when that is a terminal. Returns 1 when all 35 tracks have
// ended and the image is safely written, else 0.
int warp_copy_disk(serial_port* port, int drive, std::FILE* file, int timeout_seconds);

// warp_copy_disk with the display chosen by the caller.
int copy_disk(serial_port* port, int drive, std::FILE* file, int timeout_seconds,
              progress_display* display);
