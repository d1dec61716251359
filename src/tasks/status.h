#pragma once
#include "link/port.h"

// The -s task: asks the adapter for the drive's status string (its error
// channel) and prints it below the result line. `timeout_seconds` becomes the
// task's idle budget. Returns 1 when the text was received and printed, else 0.
int query_status(serial_port* port, int drive, int timeout_seconds);
