#pragma once

#include "cli/options.h"
#include "link/port.h"

// Runs the task the command line chose on the open, configured port, with its
// default idle timeout unless -t gave one. Returns the task's verdict: 1 for
// success, anything else for failure.
int run_task(serial_port* port, const settings& s);
