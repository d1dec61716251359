#pragma once
#include <cstdint>

#include "link/io_result.h"
#include "link/port.h"

// Blocking transfer primitives over one-call polls. Each read or write call
// that moves no byte lowers the caller's idle budget by one (about 1 ms); the
// primitive gives up when it reaches zero. Bytes that arrive never give units
// back. Counts and capacities are unsigned 32-bit.

// Reads exactly `count` bytes into `buffer`; IO_TOO_LARGE before any call when
// `count` exceeds `capacity`.
io_result read_exact(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                     std::uint32_t count, std::int32_t* budget);

// Reads until the last four bytes received are the prompt "\r\n> ". Only the
// tail is compared; a prompt followed by more bytes in the same read does not
// count. A full buffer keeps polling for nothing until the budget is spent.
io_result read_until_prompt(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                            std::int32_t* budget);

// Sends `line` (NUL-terminated, ending in "\r\n") without its final LF.
io_result write_line(serial_port* port, const char* line, std::int32_t* budget);

// write_line, then reads the echo, which must equal the whole line, "\r\n"
// included. A line longer than `capacity` is sent, then IO_TOO_LARGE.
io_result send_command(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                       const char* line, std::int32_t* budget);

// Reads the two-byte reply: IO_OK for "OK", IO_FAILED for any other pair, which
// stays at the start of `buffer`.
io_result read_ok(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                  std::int32_t* budget);
