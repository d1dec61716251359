#include "cli/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    default: break;
    }
    return 0;
}
