// The Windows half of the serial link: the adapter's COM port through the
// Win32 communications API, synchronous calls with short per-call time-outs.
#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/port.h"

namespace {

// Names such as "COM10" are reachable only through the device namespace.
constexpr char DEVICE_NAMESPACE_FORMAT[] = "\\\\.\\%s";
constexpr std::size_t DEVICE_NAMESPACE_LENGTH = 4;
// A name that already starts like this gets no second attempt.
constexpr char DEVICE_COM_PREFIX[] = "\\\\.\\COM";
constexpr std::size_t DEVICE_COM_PREFIX_LENGTH = 7;

// The configuration record without provider-specific data.
constexpr DWORD COMM_CONFIG_SIZE = 52;
static_assert(sizeof(COMMCONFIG) == COMM_CONFIG_SIZE, "COMMCONFIG layout");

constexpr DWORD LINE_BAUD_RATE = 921600;
constexpr WORD LINE_XON_LIMIT = 32768;
constexpr WORD LINE_XOFF_LIMIT = 20;
constexpr BYTE LINE_BYTE_SIZE = 8;

// Windows rounds a 1 ms comm time-out up to the next timer tick (about
// 15.6 ms) unless the process asks for a finer timer; the idle budget counts
// empty polls, so it would otherwise mean sixteen times as long.
constexpr UINT TIMER_RESOLUTION_MS = 1;

HANDLE handle_of(const serial_port* port) {
    return reinterpret_cast<HANDLE>(port->os_handle);
}

HANDLE open_device(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Second attempt: the same name inside the device namespace.
HANDLE open_in_device_namespace(const char* name) {
    std::size_t length = std::strlen(name) + DEVICE_NAMESPACE_LENGTH + 1;
    char* full_name = static_cast<char*>(std::malloc(length));
    if (full_name == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    std::snprintf(full_name, length, DEVICE_NAMESPACE_FORMAT, name);
    HANDLE handle = open_device(full_name);
    std::free(full_name);
    return handle;
}

// Only the line settings the adapter needs; everything else stays as the
// driver had it.
void set_line_settings(DCB* dcb) {
    dcb->BaudRate = LINE_BAUD_RATE;
    dcb->fBinary = 1;
    dcb->fParity = 0;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = 0;
    dcb->fTXContinueOnXoff = 1;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fErrorChar = 0;
    dcb->fNull = 0;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fAbortOnError = 0;
    dcb->XonLim = LINE_XON_LIMIT;
    dcb->XoffLim = LINE_XOFF_LIMIT;
    dcb->ByteSize = LINE_BYTE_SIZE;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
}

bool set_call_timeouts(HANDLE handle, DWORD call_timeout_ms) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts)) {
        return false;
    }
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = call_timeout_ms;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = call_timeout_ms;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

// Some drivers answer reads on a line that has gone away (adapter unplugged,
// the far end of a virtual port closed) with silence instead of an error; the
// line status query fails there, so an empty read can tell the two apart and
// the task ends at once instead of spending its whole budget.
bool line_present(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT status;
    return ClearCommError(handle, &errors, &status) != 0;
}

}  // namespace

bool open_port(const char* name, serial_port* port) {
    HANDLE handle = open_device(name);
    if (handle == INVALID_HANDLE_VALUE &&
        std::strncmp(name, DEVICE_COM_PREFIX, DEVICE_COM_PREFIX_LENGTH) != 0) {
        handle = open_in_device_namespace(name);
    }
    port->os_handle = reinterpret_cast<std::intptr_t>(handle);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Held from open to close; Windows also drops it when the process ends,
    // so an exit between the two leaves nothing behind.
    timeBeginPeriod(TIMER_RESOLUTION_MS);
    return true;
}

bool configure_port(serial_port* port, std::uint32_t call_timeout_ms) {
    HANDLE handle = handle_of(port);
    COMMCONFIG config;
    DWORD size = COMM_CONFIG_SIZE;
    if (!GetCommConfig(handle, &config, &size)) {
        return false;
    }
    // A driver that reports more than the record we own would have
    // SetCommConfig read past it.
    if (size > COMM_CONFIG_SIZE) {
        size = COMM_CONFIG_SIZE;
    }
    set_line_settings(&config.dcb);
    if (!SetCommConfig(handle, &config, size)) {
        return false;
    }
    if (!set_call_timeouts(handle, call_timeout_ms)) {
        return false;
    }
    port->call_timeout_ms = call_timeout_ms;
    return true;
}

void close_port(serial_port* port) {
    HANDLE handle = handle_of(port);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    CloseHandle(handle);
    port->os_handle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    timeEndPeriod(TIMER_RESOLUTION_MS);
}

port_call port_read(serial_port* port, std::uint8_t* buffer, std::uint32_t count) {
    HANDLE handle = handle_of(port);
    DWORD moved = 0;
    if (!ReadFile(handle, buffer, count, &moved, nullptr)) {
        return port_call{false, moved};
    }
    if (moved > 0) {
        return port_call{true, moved};
    }
    // The driver answers a read of nothing at once; waiting the call time-out
    // keeps an empty poll worth the same budget unit as any other.
    if (count == 0) {
        Sleep(port->call_timeout_ms);
    }
    return port_call{line_present(handle), 0};
}

port_call port_write(serial_port* port, const std::uint8_t* data, std::uint32_t count) {
    DWORD moved = 0;
    BOOL ok = WriteFile(handle_of(port), data, count, &moved, nullptr);
    // As for reads: an empty write costs the call time-out, not nothing.
    if (count == 0 && ok) {
        Sleep(port->call_timeout_ms);
    }
    return port_call{ok != 0, moved};
}
