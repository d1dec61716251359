#pragma once
#include <cstdio>

// True when `stream` is an interactive terminal (a console on Windows), where
// a live progress display makes sense; false for files and pipes.
bool stream_is_terminal(std::FILE* stream);
