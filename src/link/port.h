#pragma once
#include <cstdint>

// The adapter's serial port. `os_handle` is the file descriptor on POSIX and
// the HANDLE on Windows; `call_timeout_ms` is what configure_port set, the
// longest a single read or write call waits.
struct serial_port {
    std::intptr_t os_handle = -1;
    std::uint32_t call_timeout_ms = 1;
};

// Result of one read or write call: whether the call itself reported failure,
// and how many bytes it moved (possibly none, also on success).
struct port_call {
    bool ok;
    std::uint32_t moved;
};

// Implemented once per platform (serial_posix.cpp, serial_win32.cpp) and by the
// scripted fake port of the unit tests. They print nothing.
bool open_port(const char* name, serial_port* port);
bool configure_port(serial_port* port, std::uint32_t call_timeout_ms);
void close_port(serial_port* port);

// One read call: waits at most the call time-out and moves what has arrived,
// up to `count` bytes. A call for 0 bytes still waits the time-out, so that an
// empty poll costs the same time everywhere.
port_call port_read(serial_port* port, std::uint8_t* buffer, std::uint32_t count);

// One write call: hands over what the driver takes within the call time-out.
port_call port_write(serial_port* port, const std::uint8_t* data, std::uint32_t count);
