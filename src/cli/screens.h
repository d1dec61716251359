#pragma once

// The two banner lines, on standard output, with an empty line after them.
void print_banner();

// The help screen, on standard error. `drive` is the drive number in effect
// when the scan stopped.
void print_help(const char* program_name, int drive);
