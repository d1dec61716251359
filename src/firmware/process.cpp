#include "firmware/process.h"

#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

extern char** environ;
#endif

namespace {

// Appends `count` copies of `c` at `*length`; false when `out` would overflow
// (one byte stays free for the NUL).
bool append_repeated(char* out, std::uint32_t capacity, std::uint32_t* length, char c,
                     std::uint32_t count) {
    if (capacity - 1 - *length < count) return false;
    for (std::uint32_t i = 0; i < count; ++i) out[(*length)++] = c;
    return true;
}

bool needs_quotes(const char* argument) {
    return argument[0] == '\0' || std::strpbrk(argument, " \t\n\v\"") != nullptr;
}

// One argument in the runtime's quoting rules: backslashes are literal except
// in a run that ends at a quote, where each must be doubled and the quote
// escaped; the closing quote likewise needs the run before it doubled.
bool append_argument(const char* argument, char* out, std::uint32_t capacity,
                     std::uint32_t* length) {
    if (!needs_quotes(argument)) {
        const std::size_t n = std::strlen(argument);
        if (n > capacity - 1 - *length) return false;
        std::memcpy(out + *length, argument, n);
        *length += static_cast<std::uint32_t>(n);
        return true;
    }
    if (!append_repeated(out, capacity, length, '"', 1)) return false;
    for (const char* p = argument;; ++p) {
        std::uint32_t backslashes = 0;
        while (*p == '\\') {
            ++backslashes;
            ++p;
        }
        if (*p == '\0')
            return append_repeated(out, capacity, length, '\\', backslashes * 2) &&
                   append_repeated(out, capacity, length, '"', 1);
        if (*p == '"') {
            if (!append_repeated(out, capacity, length, '\\', backslashes * 2 + 1)) return false;
        } else if (!append_repeated(out, capacity, length, '\\', backslashes)) {
            return false;
        }
        if (!append_repeated(out, capacity, length, *p, 1)) return false;
    }
}

}  // namespace

bool compose_command_line(const char* const* argv, char* out, std::uint32_t capacity) {
    if (capacity == 0) return false;
    std::uint32_t length = 0;
    for (int i = 0; argv[i] != nullptr; ++i) {
        if ((i > 0 && !append_repeated(out, capacity, &length, ' ', 1)) ||
            !append_argument(argv[i], out, capacity, &length)) {
            out[0] = '\0';
            return false;
        }
    }
    out[length] = '\0';
    return true;
}

#ifdef _WIN32

bool file_exists(const char* name) { return _access(name, 0) == 0; }

bool delete_file(const char* name) { return _unlink(name) == 0; }

void sleep_seconds(unsigned seconds) { Sleep(static_cast<DWORD>(seconds) * 1000); }

int run_program(const char* program, const char* const* argv) {
    // Quoted for the runtime's parser; CreateProcess itself runs no shell and,
    // given an application name without a path, looks only in the current
    // directory.
    char command_line[1024];
    if (!compose_command_line(argv, command_line, sizeof command_line)) return -1;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // Handles are inherited so the programmer writes where the tool writes; the
    // adapter's port was opened without inheritance and stays with the tool.
    if (!CreateProcessA(program, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    const BOOL got = GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return got ? static_cast<int>(status) : -1;
}

#else

bool file_exists(const char* name) { return access(name, F_OK) == 0; }

bool delete_file(const char* name) { return unlink(name) == 0; }

void sleep_seconds(unsigned seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int run_program(const char* program, const char* const* argv) {
    pid_t child = 0;
    // posix_spawn takes the list as char* const[]; it does not change it.
    if (posix_spawn(&child, program, nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif
