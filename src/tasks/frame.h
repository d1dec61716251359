#pragma once
#include <cstdint>

#include "link/io_result.h"
#include "link/port.h"

// The steps every command task shares: sync on the prompt, announce, send the
// command and check its echo, await "OK", report the outcome on the progress
// line. Each step prints its own failure message and returns false.

inline constexpr std::uint32_t REPLY_BUFFER_SIZE = 256;

// The one reply buffer of the program: sync text, echo, the two-letter reply
// and short length fields. After a failed command its first two bytes are the
// adapter's status code.
extern std::uint8_t reply_buffer[REPLY_BUFFER_SIZE];

// The opening every command task shares, into `buffer`:
// 1. sync on the prompt; on failure "Timeout synchronizing with device." or
//    "Error synchronizing with device." on standard error, nothing on standard
//    output;
// 2. print "<label>... " without a newline and flush, so that the result
//    completes the same line while the task waits;
// 3. send `line` and verify its echo; on failure "timed out." or "failed."
//    completes the progress line. A null `line` (the task's command did not
//    fit) fails here as a line too long for its echo does, before anything is
//    sent.
// On success `*start_tick` is the tick at the verified echo: the tasks' times
// cover the adapter's work, not the sync or the sending.
bool start_conversation(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                        const char* label, const char* line, std::int32_t* budget,
                        std::uint32_t* start_tick);

// "timed out." for IO_TIMED_OUT, "failed." for anything else, as a line.
void report_transfer_failure(io_result result);

// read_ok into the reply buffer; "timed out." or report_device_error on failure.
bool await_reply_ok(serial_port* port, std::int32_t* budget);

// "succeeded in %.2f seconds.\n" for the time since `start_tick`.
void report_success(std::uint32_t start_tick);

// Prints the message for the status code in the reply buffer's first two bytes.
void report_device_error();

// One command that answers with a reply code only (-c, -f, -i, -r, -v).
// `budget` is the timeout in seconds times 1000. Returns 1 on success, else 0.
int run_simple_task(serial_port* port, int drive, const char* label, const char* verb,
                    std::int32_t budget);
