#include "cli/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diskcopy/copy.h"
#include "firmware/update.h"
#include "link/protocol.h"
#include "tasks/directory.h"
#include "tasks/frame.h"
#include "tasks/status.h"

namespace {

int default_timeout(task_kind task) {
    switch (task) {
    case TASK_EXECUTE: return TIMEOUT_EXECUTE;
    case TASK_FORMAT: return TIMEOUT_FORMAT;
    case TASK_INITIALIZE: return TIMEOUT_INITIALIZE;
    case TASK_LIST: return TIMEOUT_LIST;
    case TASK_STATUS: return TIMEOUT_STATUS;
    case TASK_RESET: return TIMEOUT_RESET;
    case TASK_COPY: return TIMEOUT_COPY;
    case TASK_UPDATE: return TIMEOUT_UPDATE;
    case TASK_VALIDATE: return TIMEOUT_VALIDATE;
    case TASK_NONE: break;
    }
    return 0;
}

std::int32_t budget_of(int timeout_seconds) {
    return static_cast<std::int32_t>(timeout_seconds) * 1000;
}

int run_execute(serial_port* port, const settings& s, int timeout) {
    // "dc \"...\"": the text, five added characters and the terminator.
    const std::size_t size = std::strlen(s.command_text) + 6;
    char* verb = static_cast<char*>(std::malloc(size));
    if (verb == nullptr) return 0;
    std::snprintf(verb, size, FORMAT_EXECUTE_VERB, s.command_text);
    const int result = run_simple_task(port, s.drive, "Executing", verb, budget_of(timeout));
    std::free(verb);
    return result;
}

// The D64 file is created (or emptied) only now that the port works, and
// stays in place whatever the result.
int run_copy(serial_port* port, const settings& s, int timeout) {
    std::FILE* file = std::fopen(s.output_file, "wb+");
    if (file == nullptr) {
        std::fprintf(stderr, "Unable to create or overwrite file %s.\n", s.output_file);
        return 0;
    }
    int result = warp_copy_disk(port, s.drive, file, timeout);
    // The task flushed a completed image; a close that still fails lost data.
    if (std::fclose(file) != 0 && result == 1) {
        std::fputs("ERROR: could not save to file\n", stderr);
        result = 0;
    }
    return result;
}

}  // namespace

int run_task(serial_port* port, const settings& s) {
    const int timeout = s.timeout > 0 ? s.timeout : default_timeout(s.task);
    switch (s.task) {
    case TASK_EXECUTE: return run_execute(port, s, timeout);
    case TASK_FORMAT:
        return run_simple_task(port, s.drive, "Formatting", VERB_FORMAT, budget_of(timeout));
    case TASK_INITIALIZE:
        return run_simple_task(port, s.drive, "Initializing", VERB_INITIALIZE, budget_of(timeout));
    case TASK_RESET:
        return run_simple_task(port, s.drive, "Resetting", VERB_RESET, budget_of(timeout));
    case TASK_VALIDATE:
        return run_simple_task(port, s.drive, "Validating", VERB_VALIDATE, budget_of(timeout));
    case TASK_LIST: return fetch_directory(port, s.drive, s.escape ? 1 : 0, timeout);
    case TASK_STATUS: return query_status(port, s.drive, timeout);
    case TASK_COPY: return run_copy(port, s, timeout);
    case TASK_UPDATE: return update_firmware(port, s.boot_port, timeout);
    default: break;
    }
    return 0;
}
