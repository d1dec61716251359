// The serial link on POSIX systems: termios for the line, poll() for the
// per-call time-out (VTIME counts tenths of seconds, too coarse for 1 ms).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#ifdef __APPLE__
#include <IOKit/serial/ioss.h>
#endif

#include "link/port.h"

namespace {

int fd_of(const serial_port* port) { return static_cast<int>(port->os_handle); }

void release(int fd) {
#ifdef TIOCNXCL
    // The exclusive flag outlives our descriptor while another process (a
    // simulator, a getty) holds the device open; clear it for the next user.
    ioctl(fd, TIOCNXCL);
#endif
    flock(fd, LOCK_UN);
    close(fd);
}

bool set_line(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE);
    tio.c_cflag |= CS8;
#ifdef CRTSCTS
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
#ifdef B921600
    if (cfsetispeed(&tio, B921600) != 0 || cfsetospeed(&tio, B921600) != 0) return false;
#endif
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
#ifdef __APPLE__
    // macOS has no B921600; the driver takes arbitrary rates this way.
    speed_t speed = 921600;
    if (ioctl(fd, IOSSIOSPEED, &speed) != 0) return false;
#endif
    return true;
}

// DTR and RTS raised while the port is open. A device without modem lines (a
// pseudo-terminal) refuses the ioctl; that is no reason to fail.
void raise_modem_lines(int fd) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
}

int elapsed_ms(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int>((now.tv_sec - start.tv_sec) * 1000 +
                            (now.tv_nsec - start.tv_nsec) / 1000000);
}

// Waits up to `timeout_ms` for `events`; EINTR resumes the wait for the time
// left. Returns the revents, 0 on time-out, -1 on error.
int wait_for(int fd, short events, int timeout_ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pollfd p{fd, events, 0};
        const int left = timeout_ms - elapsed_ms(start);
        const int n = poll(&p, 1, left < 0 ? 0 : left);
        if (n > 0) return p.revents;
        if (n == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

void sleep_ms(std::uint32_t ms) {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

}  // namespace

bool open_port(const char* name, serial_port* port) {
    port->os_handle = -1;
    int fd;
    do {
        fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // Exclusive use: the advisory lock refuses a second instance of the tool
    // even when run as root, for whom TIOCEXCL does not apply.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
#ifdef TIOCEXCL
    ioctl(fd, TIOCEXCL);
#endif
    port->os_handle = fd;
    return true;
}

bool configure_port(serial_port* port, std::uint32_t call_timeout_ms) {
    const int fd = fd_of(port);
    if (!set_line(fd)) return false;
    raise_modem_lines(fd);
    port->call_timeout_ms = call_timeout_ms;
    return true;
}

void close_port(serial_port* port) {
    if (port->os_handle >= 0) release(fd_of(port));
    port->os_handle = -1;
}

port_call port_read(serial_port* port, std::uint8_t* buffer, std::uint32_t count) {
    const int timeout = static_cast<int>(port->call_timeout_ms);
    if (count == 0) {
        sleep_ms(port->call_timeout_ms);
        return {true, 0};
    }
    const int fd = fd_of(port);
    const int revents = wait_for(fd, POLLIN, timeout);
    if (revents < 0) return {false, 0};
    if (revents == 0) return {true, 0};
    if (revents & POLLIN) {
        for (;;) {
            const ssize_t n = read(fd, buffer, count);
            if (n > 0) return {true, static_cast<std::uint32_t>(n)};
            // Readable yet nothing to read: the device is gone (unplugged,
            // or the other end of a pseudo-terminal hung up).
            if (n == 0) return {false, 0};
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return {true, 0};
            return {false, 0};
        }
    }
    return {false, 0};  // POLLHUP, POLLERR or POLLNVAL without data
}

port_call port_write(serial_port* port, const std::uint8_t* data, std::uint32_t count) {
    const int timeout = static_cast<int>(port->call_timeout_ms);
    if (count == 0) {
        sleep_ms(port->call_timeout_ms);
        return {true, 0};
    }
    const int fd = fd_of(port);
    const int revents = wait_for(fd, POLLOUT, timeout);
    if (revents < 0) return {false, 0};
    if (revents == 0) return {true, 0};
    if (!(revents & POLLOUT)) return {false, 0};
    for (;;) {
        const ssize_t n = write(fd, data, count);
        if (n >= 0) return {true, static_cast<std::uint32_t>(n)};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {true, 0};
        return {false, 0};
    }
}
