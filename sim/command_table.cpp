// Verbs the simulated adapter knows. A verb missing here is answered "KO".
#include <cstring>

#include "commands.h"

namespace {

const sim_command COMMANDS[] = {
    {"dc", handle_drive_command, true},
    {"ff", handle_drive_command, true},
    {"di", handle_drive_command, true},
    {"rs", handle_drive_command, true},
    // Added with their handler files:
    {"de", handle_status, true},
    {"dd", handle_directory, true},
    {"ws", handle_disk_stream, true},
    {"j", handle_bootloader, false},  // the real adapter jumps away without echo or reply
};

}  // namespace

const sim_command* find_command(const char* verb) {
    for (const sim_command& command : COMMANDS) {
        if (std::strcmp(command.verb, verb) == 0) return &command;
    }
    return nullptr;
}
