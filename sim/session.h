#pragma once
#include "commands.h"

// Greets the host, then reads and answers command lines until a stop is
// requested, the pty hangs up, or --once is done.
void run_session(sim_context* ctx);

// Splits a received line (CR removed) into verb, arguments and drive.
void parse_request(const char* line, std::size_t length, bool overflow, sim_request* request);
