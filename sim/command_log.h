#pragma once
#include "commands.h"

// Opens the --log file for appending; false (with a message) when it cannot.
bool command_log_open(const char* path);
void command_log_close();
// Records a received command line: readable on stderr, byte for byte in the
// log file, flushed at once so tests see it while the simulator runs.
void command_log_write(const sim_request* request);
