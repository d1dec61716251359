// A misbehaving adapter: every command task against arbitrary bytes from the
// other end of the line, through the scripted fake port. The first input byte
// picks the task and the drive; with its top bit set the adapter first sends
// a good prompt, the exact echo and (where the task reads one) "OK", so that
// the rest of the input lands in the payload in one burst; without it, the
// input comes one byte per read call. After the input the adapter is silent,
// which the idle budget of one second (1000 empty polls) ends.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diskcopy/copy.h"
#include "diskcopy/d64.h"
#include "fake_port.h"
#include "link/protocol.h"
#include "quiet_stderr.h"
#include "tasks/directory.h"
#include "tasks/frame.h"
#include "tasks/status.h"

namespace {

enum fuzzed_task { SIMPLE, STATUS, LIST_PLAIN, LIST_ESCAPED, COPY, TASK_COUNT };

std::FILE* g_image = nullptr;

// The line the task sends, LF included, as the adapter must echo it.
std::string command_line(fuzzed_task task, int drive) {
    char line[64];
    switch (task) {
    case SIMPLE:
        std::snprintf(line, sizeof line, FORMAT_DRIVE_COMMAND, VERB_INITIALIZE,
                      static_cast<unsigned>(drive), LINE_TERMINATOR);
        break;
    case STATUS:
        std::snprintf(line, sizeof line, FORMAT_STATUS_COMMAND, static_cast<unsigned>(drive),
                      LINE_TERMINATOR);
        break;
    case LIST_PLAIN:
    case LIST_ESCAPED:
        std::snprintf(line, sizeof line, FORMAT_DIRECTORY_COMMAND, static_cast<unsigned>(drive),
                      LINE_TERMINATOR);
        break;
    default:
        std::snprintf(line, sizeof line, FORMAT_COPY_COMMAND, static_cast<unsigned>(drive),
                      LINE_TERMINATOR);
        break;
    }
    return line;
}

int run(fuzzed_task task, int drive) {
    serial_port port;
    port.os_handle = 3;
    switch (task) {
    case SIMPLE: return run_simple_task(&port, drive, "Initializing", VERB_INITIALIZE, 1000);
    case STATUS: return query_status(&port, drive, 1);
    case LIST_PLAIN: return fetch_directory(&port, drive, 0, 1);
    case LIST_ESCAPED: return fetch_directory(&port, drive, 1, 1);
    default: {
        progress_display display;  // no terminal: no display
        return copy_disk(&port, drive, g_image, 1, &display);
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_quiet_stderr(argc, argv);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    g_image = std::tmpfile();
    if (g_image == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return -1;
    const auto task = static_cast<fuzzed_task>((data[0] & 0x7F) % TASK_COUNT);
    const int drive = DRIVE_MIN + (data[0] >> 4) % 4;
    const std::string line = command_line(task, drive);

    fake_reset();
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((data[0] & 0x80) != 0) {
        // Each its own read call, as they come over the line: the prompt,
        // then (after the host's line) the echo and reply, then the rest.
        fake_read_bytes(PROMPT);
        fake_read_bytes(task == COPY ? line : line + REPLY_OK);
        if (!rest.empty()) fake_read_bytes(rest);
    } else {
        // A slow adapter: one byte per read call, so a prompt anywhere in the
        // input is seen as it completes.
        for (char c : rest) fake_read_bytes(std::string(1, c));
    }

    if (std::fflush(g_image) != 0 || ftruncate(fileno(g_image), 0) != 0) std::abort();
    std::rewind(g_image);

    const int result = run(task, drive);
    if (result != 0 && result != 1) std::abort();

    // The host sends its one line without the LF, or nothing when it never
    // saw a prompt; nothing else, whatever the adapter said.
    const std::string& written = fake_written();
    if (!written.empty() && written != line.substr(0, line.size() - 1)) std::abort();

    if (task == COPY) {
        if (std::fseek(g_image, 0, SEEK_END) != 0) std::abort();
        const long end = std::ftell(g_image);
        if (end < 0 || end > D64_IMAGE_BYTES || end % D64_SECTOR_BYTES != 0) std::abort();
        // A copy that succeeded leaves a whole image.
        if (result == 1 && end != D64_IMAGE_BYTES) std::abort();
    }
    return 0;
}
