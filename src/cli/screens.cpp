#include "cli/screens.h"

#include <cstdio>

#include "firmware/version.h"

void print_banner() {
    std::puts("Orvelan utilities, rel 1.9.1 - (C) The Orvelan developers, free software");
    std::puts("Communicate with an Orvelan device to perform common tasks\n");
}

void print_help(const char* program_name, int drive) {
    std::FILE* out = stderr;
    std::fprintf(out, "Firmware version included: v%d.%d.%d.%d.%d\n", FIRMWARE_VERSION[0],
                 FIRMWARE_VERSION[1], FIRMWARE_VERSION[2], FIRMWARE_VERSION[3],
                 FIRMWARE_VERSION[4]);
    std::fputs("\nDrive code acknowledgements:\n", out);
    std::fputs("   WarpCopy64 disk-copy drive routine: with thanks to its author\n", out);
    std::fputs("   Format II fast-format drive routine: with thanks to its author\n", out);
    std::fputs("\nIcons:\n", out);
    std::fputs("   https://orvelan.example/icons\n", out);
    std::fputs("\nUsage:\n", out);
    std::fprintf(out, "   %s [options] <task> <communication port>\n", program_name);
    std::fputs("\nOptions:\n", out);
    std::fprintf(out, "   -d <drive number>: Select drive number (defaults to %d)\n", drive);
    std::fputs("   -e: Escape control codes in directory listings\n", out);
    std::fputs("   -t <timeout>: Task idle timeout in seconds\n", out);
    std::fputs("\nDisk tasks:\n", out);
    std::fputs("   -c \"<command>\": Execute disk command (don't use for \"uj:\", use -r instead)\n",
               out);
    std::fputs("   -f: Fast format disk (35 tracks)\n", out);
    std::fputs("   -i: Initialize drive (short for -c \"i0\")\n", out);
    std::fputs("   -l: List disk directory\n", out);
    std::fputs("   -r: Reset drive (soft)\n", out);
    std::fputs("   -s: Query error channel/status\n", out);
    std::fputs("   -v: Validate disk (short for -c \"v0\")\n", out);
    std::fputs("   -w: \"<filename>\": Warpcopy DOS disk contents to a 35-track D64 file\n", out);
    std::fputs("\nAdmin tasks:\n", out);
    std::fputs("   -u <bootloader port>: Update the Orvelan firmware\n", out);
    std::fputs("\nExamples:\n", out);
    std::fprintf(out, "   %s -d 9 -l %s\n", program_name, "COM6");
}
