#include "cli/options.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "link/protocol.h"

void swap_case(char* text, std::size_t length) {
    for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
        const char c = text[i];
        if (c >= 'A' && c <= 'Z')
            text[i] = static_cast<char>(c - 'A' + 'a');
        else if (c >= 'a' && c <= 'z')
            text[i] = static_cast<char>(c - 'a' + 'A');
    }
}

bool read_decimal(const char* text, long* value) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    if (*text < '0' || *text > '9') return false;
    long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const int digit = *text - '0';
        magnitude = magnitude > (LONG_MAX - digit) / 10 ? LONG_MAX : magnitude * 10 + digit;
    }
    *value = negative ? -magnitude : magnitude;
    return true;
}

namespace {

bool takes_argument(char letter) {
    switch (letter) {
    case 'c':
    case 'd':
    case 't':
    case 'u':
    case 'w': return true;
    default: return false;
    }
}

// -d and -t read their number as "%d" does; without one, the value stays.
bool apply_drive(const char* argument, settings* s) {
    long number = 0;
    if (read_decimal(argument, &number))
        s->drive = number < DRIVE_MIN || number > DRIVE_MAX ? -1 : static_cast<int>(number);
    if (s->drive >= DRIVE_MIN && s->drive <= DRIVE_MAX) return true;
    std::fputs("Valid drive numbers: 8-11.\n", stderr);
    return false;
}

bool apply_timeout(const char* argument, settings* s) {
    long number = 0;
    if (read_decimal(argument, &number)) {
        if (number > TIMEOUT_MAX_SECONDS) {
            // The idle budget counts milliseconds in a signed 32-bit integer.
            std::fprintf(stderr, "Valid timeout values are positive integers up to %d.\n",
                         TIMEOUT_MAX_SECONDS);
            return false;
        }
        s->timeout = number < 0 ? 0 : static_cast<int>(number);
    }
    if (s->timeout > 0) return true;
    std::fputs("Valid timeout values are positive integers.\n", stderr);
    return false;
}

// An option with an argument; false when its value is refused (message written).
bool apply_valued_option(char letter, char* argument, settings* s) {
    switch (letter) {
    case 'c':
        s->command_text = argument;
        swap_case(argument, std::strlen(argument));
        s->task = TASK_EXECUTE;
        return true;
    case 'd': return apply_drive(argument, s);
    case 't': return apply_timeout(argument, s);
    case 'u':
        s->boot_port = argument;
        s->task = TASK_UPDATE;
        return true;
    case 'w':
        s->output_file = argument;
        s->task = TASK_COPY;
        return true;
    default: return true;
    }
}

void apply_flag_option(char letter, settings* s) {
    switch (letter) {
    case 'e': s->escape = true; break;
    case 'f': s->task = TASK_FORMAT; break;
    case 'i': s->task = TASK_INITIALIZE; break;
    case 'l': s->task = TASK_LIST; break;
    case 'r': s->task = TASK_RESET; break;
    case 's': s->task = TASK_STATUS; break;
    case 'v': s->task = TASK_VALIDATE; break;
    default: break;  // unknown letters are skipped without a word
    }
}

}  // namespace

scan_result scan_command_line(int argc, char** argv, settings* out) {
    if (argc > 0 && argv[0] != nullptr) out->program_name = argv[0];
    for (int i = 1; i < argc; ++i) {
        char* element = argv[i];
        if (element[0] != '-') {
            // The first non-option ends the scan; it must be the last element.
            if (i != argc - 1 || out->task == TASK_NONE) return SCAN_HELP;
            out->port_name = element;
            break;
        }
        const char letter = element[1];
        if (!takes_argument(letter)) {
            apply_flag_option(letter, out);
            continue;
        }
        if (i + 1 >= argc) return SCAN_HELP;  // nothing left to take
        if (!apply_valued_option(letter, argv[++i], out)) return SCAN_INVALID;
    }
    if (out->port_name == nullptr) return SCAN_HELP;
    if (out->task == TASK_EXECUTE && std::strlen(out->command_text) > COMMAND_TEXT_MAX) {
        // Its command line would be sent and then fail the echo check, leaving
        // the drive with a command the tool calls failed.
        std::fprintf(stderr, "Disk command too long: at most %zu characters.\n", COMMAND_TEXT_MAX);
        return SCAN_INVALID;
    }
    if (out->task == TASK_EXECUTE && std::strpbrk(out->command_text, "\r\n") != nullptr) {
        // The adapter ends a command line at its CR: the rest of the text
        // would reach the drive as a command of its own (say "ff", a format)
        // before the echo check could object.
        std::fputs("Disk command must not contain line breaks.\n", stderr);
        return SCAN_INVALID;
    }
    return SCAN_RUN;
}
