// The simulator's command line: one table gives each option's parser and its
// line in --help.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "options.h"

namespace {

using option_parser = bool (*)(const char* name, const char* value, sim_options* options);

struct option_spec {
    const char* name;
    const char* value_name;  // null for a flag
    option_parser parse;
    const char* help;
};

bool fail(const char* name, const char* what) {
    std::fprintf(stderr, "orvelan-sim: %s: %s (see --help)\n", name, what);
    return false;
}

// A whole decimal number in [low, high]; nothing else accepted.
bool read_number(const char* name, const char* text, long low, long high, long* out) {
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        return fail(name, "expects a whole number in range");
    }
    *out = value;
    return true;
}

bool read_int(const char* name, const char* text, long low, long high, int* out) {
    long value = 0;
    if (!read_number(name, text, low, high, &value)) return false;
    *out = static_cast<int>(value);
    return true;
}

bool read_fault(const char* name, const char* text, sim_fault fault, sim_options* options) {
    static const struct {
        const char* name;
        sim_phase phase;
    } PHASES[] = {
        {"start", PHASE_START}, {"echo", PHASE_ECHO}, {"reply", PHASE_REPLY}, {"payload", PHASE_PAYLOAD}};
    if (options->fault != FAULT_NONE) return fail(name, "only one of --silent-at and --hangup-at");
    for (const auto& entry : PHASES) {
        if (std::strcmp(text, entry.name) == 0) {
            options->fault = fault;
            options->fault_phase = entry.phase;
            return true;
        }
    }
    return fail(name, "expects start, echo, reply or payload");
}

bool parse_reply(const char* name, const char* text, sim_options* options) {
    if (std::strlen(text) != 2) return fail(name, "expects a two-letter code such as NP");
    std::memcpy(options->reply, text, 3);
    return true;
}

bool parse_seed(const char* name, const char* text, sim_options* options) {
    long value = 0;
    if (!read_number(name, text, 1, UINT32_MAX, &value)) return false;
    options->seed = static_cast<std::uint32_t>(value);
    return true;
}

bool parse_chunk(const char* name, const char* text, sim_options* options) {
    if (std::strcmp(text, "random") == 0) {
        options->chunk_random = true;
        return true;
    }
    options->chunk_random = false;
    return read_int(name, text, 1, 65535, &options->chunk);
}

bool parse_dir_fault(const char* name, const char* text, sim_options* options) {
    if (std::strcmp(text, "overflow") == 0) {
        options->dir_fault = DIR_FAULT_OVERFLOW;
    } else if (std::strcmp(text, "zero-length") == 0) {
        options->dir_fault = DIR_FAULT_ZERO_LENGTH;
    } else {
        return fail(name, "expects overflow or zero-length");
    }
    return true;
}

const option_spec OPTIONS[] = {
    {"--help", nullptr, nullptr, "show this list and exit"},
    {"--link", "PATH", [](const char*, const char* v, sim_options* o) { o->link_path = v; return true; },
     "also make PATH a symlink to the pty (removed at exit)"},
    {"--log", "FILE", [](const char*, const char* v, sim_options* o) { o->log_path = v; return true; },
     "append each received command line to FILE"},
    {"--delay", "MS", [](const char* n, const char* v, sim_options* o) { return read_int(n, v, 0, 3600000, &o->delay_ms); },
     "time before a simple command's reply (default 5)"},
    {"--once", nullptr, [](const char*, const char*, sim_options* o) { return o->once = true; },
     "exit after one command is answered"},
    {"--baud", "N", [](const char* n, const char* v, sim_options* o) { return read_number(n, v, 10, 100000000, &o->baud); },
     "pace payload bytes at N/10 bytes per second"},
    // Faults.
    {"--no-prompt", nullptr, [](const char*, const char*, sim_options* o) { return o->no_prompt = true; },
     "greeting without the prompt, then silence"},
    {"--garbage", "N", [](const char* n, const char* v, sim_options* o) { return read_int(n, v, 0, SIM_GARBAGE_MAX, &o->garbage); },
     "N random bytes (never a prompt) before the first prompt;\n"
     "the host's sync buffer holds 256 bytes, greeting and prompt included"},
    {"--seed", "N", parse_seed, "seed for the random bytes and sizes (default: from the clock)"},
    {"--split-prompt", nullptr, [](const char*, const char*, sim_options* o) { return o->split_prompt = true; },
     "write each prompt byte by byte with pauses; the first prompt\n"
     "waits until the host has opened the port"},
    {"--wrong-echo", nullptr, [](const char*, const char*, sim_options* o) { return o->wrong_echo = true; },
     "change one byte of each echo"},
    {"--short-echo", nullptr, [](const char*, const char*, sim_options* o) { return o->short_echo = true; },
     "stop the echo before its CR LF, then silence"},
    {"--reply", "CODE", parse_reply, "answer CODE (NP, NF, FM, ID, KO, ...) where OK belongs"},
    {"--silent-at", "PHASE", [](const char* n, const char* v, sim_options* o) { return read_fault(n, v, FAULT_SILENT, o); },
     "fall silent at PHASE: start (after the first prompt), echo (no\n"
     "echo), reply (echo, no reply), payload (after --after N bytes)"},
    {"--hangup-at", "PHASE", [](const char* n, const char* v, sim_options* o) { return read_fault(n, v, FAULT_HANGUP, o); },
     "close the pty and exit at PHASE (as --silent-at); start waits\n"
     "for the host to open the port and sends no prompt"},
    {"--after", "N", [](const char* n, const char* v, sim_options* o) { return read_number(n, v, 0, LONG_MAX, &o->after); },
     "payload bytes sent before a payload fault strikes (default 0)"},
    // ---- Options of the payload commands; their handlers read them.
    {"--status", "TEXT", [](const char*, const char* v, sim_options* o) { o->status_text = v; return true; },
     "drive status text for \"de\" (default \"00, OK,00,00\")"},
    {"--disk", "FILE", [](const char*, const char* v, sim_options* o) { o->disk_path = v; return true; },
     "D64 image behind \"dd\" and \"ws\""},
    {"--ws-fault", "KIND:N[,N..]", [](const char* n, const char* v, sim_options* o) { return parse_stream_fault(n, v, &o->ws_faults); },
     "a fault of the \"ws\" stream (repeatable): bad-check, bad-code,\n"
     "out-of-range (sector 31), duplicate (sent twice, the first copy\n"
     "unmarked), silent or hangup (after it) at packet N; retries\n"
     "(half the sectors, then the retries-exhausted packet) on track N"},
    {"--chunk", "N|random", parse_chunk, "chunk size of the \"dd\" payload"},
    {"--dir-fault", "overflow|zero-length", parse_dir_fault,
     "\"dd\" sends an image past the host's 8192 bytes, or a zero\n"
     "length right after the load address"},
    {"--boot-link", "PATH", [](const char*, const char* v, sim_options* o) { o->boot_link = v; return true; },
     "symlink to the bootloader's pty after \"j\""},
    {"--flash-out", "FILE", [](const char*, const char* v, sim_options* o) { o->flash_out = v; return true; },
     "where the bootloader stores the flashed image"},
};

const option_spec* find_option(const char* name) {
    for (const option_spec& spec : OPTIONS) {
        if (std::strcmp(spec.name, name) == 0) return &spec;
    }
    return nullptr;
}

}  // namespace

sim_parse_result parse_options(int argc, char** argv, sim_options* options) {
    for (int i = 1; i < argc; ++i) {
        const option_spec* spec = find_option(argv[i]);
        if (spec == nullptr) {
            fail(argv[i], "unknown option");
            return PARSE_ERROR;
        }
        if (spec->parse == nullptr) {
            print_help(argv[0]);
            return PARSE_HELP;
        }
        const char* value = nullptr;
        if (spec->value_name != nullptr) {
            if (i + 1 >= argc) {
                fail(argv[i], "needs a value");
                return PARSE_ERROR;
            }
            value = argv[++i];
        }
        if (!spec->parse(spec->name, value, options)) return PARSE_ERROR;
    }
    return PARSE_RUN;
}

void print_help(const char* program) {
    std::printf("Usage: %s [options]\n"
                "A stand-in Orvelan adapter on a pseudo-terminal. Prints the pty's path\n"
                "on the first line, then answers the host's command lines on it.\n\nOptions:\n",
                program);
    for (const option_spec& spec : OPTIONS) {
        char left[40];
        std::snprintf(left, sizeof left, "%s%s%s", spec.name, spec.value_name ? " " : "",
                      spec.value_name ? spec.value_name : "");
        std::printf("  %-22s ", left);
        for (const char* c = spec.help; *c != '\0'; ++c) {
            std::putchar(*c);
            if (*c == '\n') std::printf("  %-22s ", "");
        }
        std::putchar('\n');
    }
}
