// The pseudo-terminal the simulated adapter sits on.
#include "pty.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include "commands.h"

namespace {

constexpr int HOST_WAIT_FALLBACK_MS = 300;

bool make_raw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

void watch_host_open(sim_pty* pty) {
#ifdef __linux__
    // The host opening the slave shows up as an open event on its device node.
    pty->open_watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (pty->open_watch >= 0 && inotify_add_watch(pty->open_watch, pty->slave_path, IN_OPEN) < 0) {
        close(pty->open_watch);
        pty->open_watch = -1;
    }
#else
    (void)pty;
#endif
}

}  // namespace

bool pty_open(sim_pty* pty) {
    pty->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty->master < 0) return false;
    if (grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) return false;
    const char* name = ptsname(pty->master);
    if (name == nullptr) return false;
    const std::size_t length = std::strlen(name);
    if (length >= sizeof pty->slave_path) return false;
    std::memcpy(pty->slave_path, name, length + 1);
    pty->slave = open(pty->slave_path, O_RDWR | O_NOCTTY);
    if (pty->slave < 0 || !make_raw(pty->slave)) return false;
    int flags = fcntl(pty->master, F_GETFL);
    if (flags < 0 || fcntl(pty->master, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    fcntl(pty->master, F_SETFD, FD_CLOEXEC);
    fcntl(pty->slave, F_SETFD, FD_CLOEXEC);
    watch_host_open(pty);
    return true;
}

void pty_close_master(sim_pty* pty) {
    if (pty->master >= 0) close(pty->master);
    pty->master = -1;
}

void pty_close(sim_pty* pty) {
    pty_close_master(pty);
    if (pty->slave >= 0) close(pty->slave);
    if (pty->open_watch >= 0) close(pty->open_watch);
    pty->slave = -1;
    pty->open_watch = -1;
}

int pty_unread(const sim_pty* pty) {
    int count = 0;
    if (ioctl(pty->slave, FIONREAD, &count) != 0) return 0;
    return count;
}

bool pty_wait_for_host(sim_pty* pty) {
    if (pty->open_watch < 0) {
        usleep(HOST_WAIT_FALLBACK_MS * 1000);
        return g_sim_stop == 0;
    }
    pollfd entry{pty->open_watch, POLLIN, 0};
    while (g_sim_stop == 0) {
        if (poll(&entry, 1, 100) <= 0) continue;
        alignas(8) char events[4096];
        if (read(pty->open_watch, events, sizeof events) > 0) return true;
    }
    return false;
}

bool link_create(const char* link, const char* target) {
    struct stat info{};
    if (lstat(link, &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            std::fprintf(stderr, "orvelan-sim: %s exists and is no symlink; not replaced\n", link);
            return false;
        }
        unlink(link);
    }
    if (symlink(target, link) != 0) {
        std::fprintf(stderr, "orvelan-sim: cannot create link %s: %s\n", link, std::strerror(errno));
        return false;
    }
    return true;
}

void link_remove(const char* link, const char* target) {
    char pointed[PATH_MAX];
    ssize_t length = readlink(link, pointed, sizeof pointed - 1);
    if (length < 0) return;
    pointed[length] = '\0';
    if (std::strcmp(pointed, target) == 0) unlink(link);
}
