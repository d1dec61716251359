#pragma once
#include <cstdint>

#include "link/port.h"

// The largest directory image the -l task accepts, load address included.
inline constexpr std::uint32_t LISTING_BUFFER_SIZE = 8192;

// The -l task: asks the adapter for the file "$" of the drive, receives the
// image in length-prefixed chunks and prints it as LIST does; `escape` 1
// spells out control codes and keywords. `timeout_seconds` becomes the task's
// idle budget. Returns 1 when the whole image arrived and its listing reached
// the end-of-program marker, else 0.
int fetch_directory(serial_port* port, int drive, int escape, int timeout_seconds);
