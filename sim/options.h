#pragma once
#include <cstdint>

#include "disk_stream.h"

// What the simulated adapter does wrong, and when.
enum sim_fault {
    FAULT_NONE,
    FAULT_SILENT,  // --silent-at: stop answering, keep the port open
    FAULT_HANGUP,  // --hangup-at: close the pty master and exit
};

enum sim_phase {
    PHASE_START,    // right after the greeting
    PHASE_ECHO,     // a command line arrived; nothing of its echo goes out
    PHASE_REPLY,    // the echo went out; the reply does not
    PHASE_PAYLOAD,  // "OK" went out; the payload stops after --after N bytes
};

inline constexpr int SIM_GARBAGE_MAX = 4096;
inline constexpr char SIM_DEFAULT_STATUS[] = "00, OK,00,00";

// Faults of the "dd" payload (directory.cpp).
enum sim_dir_fault {
    DIR_FAULT_NONE,
    DIR_FAULT_OVERFLOW,     // the image grows past the host's 8192-byte buffer
    DIR_FAULT_ZERO_LENGTH,  // a zero length right after the load address
};

// Everything the command line sets. Texts point into argv.
struct sim_options {
    const char* link_path = nullptr;  // --link: symlink to the slave side
    const char* log_path = nullptr;   // --log: one received command line per line
    int delay_ms = 5;                 // --delay: time the drive "works" before replying
    bool once = false;                // --once: exit after one answered command

    // Faults.
    bool no_prompt = false;     // --no-prompt: greeting without the prompt, then silence
    int garbage = 0;            // --garbage: random bytes before the first prompt
    std::uint32_t seed = 0;     // --seed: for --garbage and --chunk random; 0 picks one
    bool split_prompt = false;  // --split-prompt: each prompt written byte by byte
    bool wrong_echo = false;    // --wrong-echo: one echoed byte changed
    bool short_echo = false;    // --short-echo: echo cut before its CR LF, then silence
    char reply[3] = "OK";       // --reply: the code sent where "OK" belongs
    sim_fault fault = FAULT_NONE;
    sim_phase fault_phase = PHASE_START;
    long after = 0;  // --after: payload bytes sent before a payload fault strikes

    // Pacing of payload bytes (0: as fast as the host reads).
    long baud = 0;  // --baud: N/10 payload bytes per second

    // ---- Options of the payload commands. Parsed here, used by their handlers.
    const char* disk_path = nullptr;            // --disk FILE.d64: "dd" (directory.cpp), "ws" (disk_stream.cpp)
    const char* status_text = SIM_DEFAULT_STATUS;  // --status TEXT: "de" (status.cpp)
    int chunk = 0;                              // --chunk N: "dd" chunk size, 0 = the handler's default
    bool chunk_random = false;                  // --chunk random: "dd" picks sizes from the seed
    sim_dir_fault dir_fault = DIR_FAULT_NONE;   // --dir-fault overflow|zero-length: "dd"
    stream_faults ws_faults;                    // --ws-fault KIND:N[,N...]: "ws" (disk_stream.cpp)
    const char* boot_link = nullptr;            // --boot-link PATH: "j" (bootloader.cpp)
    const char* flash_out = nullptr;            // --flash-out FILE: "j" (bootloader.cpp)
};

enum sim_parse_result {
    PARSE_RUN,
    PARSE_HELP,   // --help: the option list was printed
    PARSE_ERROR,  // a message went to stderr
};

sim_parse_result parse_options(int argc, char** argv, sim_options* options);
void print_help(const char* program);
