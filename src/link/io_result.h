#pragma once

// The result of every transfer primitive. The numeric values are fixed: they
// show up in test output and are compared by callers.
enum io_result {
    IO_OK = 0,         // complete and, where compared, matched
    IO_FAILED = 1,     // a read or write call failed, or the bytes did not match
    IO_TIMED_OUT = 2,  // the idle budget reached zero
    IO_TOO_LARGE = 3,  // the count to read exceeds the caller's buffer
};

const char* io_result_name(io_result result);
