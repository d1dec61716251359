#include <cstdio>

#include "cli/dispatch.h"
#include "cli/options.h"
#include "cli/screens.h"
#include "link/port.h"
#include "link/protocol.h"

#ifdef __MINGW32__
// Let the C runtime expand wildcards in the argument list, as users of the
// Windows console expect from a command-line tool.
int _dowildcard = -1;
#endif

int main(int argc, char** argv) {
    print_banner();

    settings s;
    switch (scan_command_line(argc, argv, &s)) {
    case SCAN_HELP: print_help(s.program_name, s.drive); return 1;
    case SCAN_INVALID: return 1;
    case SCAN_RUN: break;
    }

    serial_port port;
    if (!open_port(s.port_name, &port)) {
        std::fprintf(stderr, "Unable to open port %s.\n", s.port_name);
        return 1;
    }
    if (!configure_port(&port, CALL_TIMEOUT_MS)) {
        std::fprintf(stderr, "Unable to reconfigure port %s.\n", s.port_name);
        close_port(&port);
        return 1;
    }
    const int verdict = run_task(&port, s);
    close_port(&port);
    return verdict == 1 ? 0 : 1;
}
