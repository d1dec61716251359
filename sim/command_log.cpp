#include "command_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
std::FILE* g_log = nullptr;
}

bool command_log_open(const char* path) {
    g_log = std::fopen(path, "ab");
    if (g_log == nullptr) {
        std::fprintf(stderr, "orvelan-sim: cannot open log %s: %s\n", path, std::strerror(errno));
        return false;
    }
    return true;
}

void command_log_close() {
    if (g_log != nullptr) std::fclose(g_log);
    g_log = nullptr;
}

void command_log_write(const sim_request* request) {
    std::fputs("orvelan-sim: received \"", stderr);
    for (std::size_t i = 0; i < request->length; ++i) {
        unsigned char c = static_cast<unsigned char>(request->line[i]);
        if (c >= 0x20 && c < 0x7f) std::fputc(c, stderr);
        else std::fprintf(stderr, "\\x%02x", c);
    }
    std::fputs(request->overflow ? "\" (cut)\n" : "\"\n", stderr);
    if (g_log == nullptr) return;
    std::fwrite(request->line, 1, request->length, g_log);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}
