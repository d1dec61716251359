#pragma once
// The frame that command handlers plug into. Adding a command takes a
// declaration below and one line in the table of command_table.cpp.
#include <csignal>
#include <cstddef>
#include <cstdint>

#include "options.h"
#include "pty.h"

inline constexpr char SIM_PROMPT[] = "\r\n> ";
inline constexpr std::size_t SIM_PROMPT_LENGTH = 4;
inline constexpr std::size_t SIM_LINE_MAX = 512;  // longer lines are cut (and answered KO)
inline constexpr std::size_t SIM_VERB_MAX = 15;

// Set by SIGINT/SIGTERM/SIGHUP; every wait in the simulator checks it.
extern volatile std::sig_atomic_t g_sim_stop;

// State of the running adapter, shared by the session and the handlers.
struct sim_context {
    const sim_options* options = nullptr;
    sim_pty* pty = nullptr;
    bool muted = false;      // a silent fault struck: nothing more goes out
    bool hung_up = false;    // the master is closed: the simulator ends
    bool finished = false;   // --once: the one command is answered
    long payload_sent = 0;   // payload bytes of the current command
    std::int64_t pace_start_ns = 0;  // when the current command's payload began (monotonic)
    std::uint32_t random_state = 1;  // for --garbage and --chunk random
};

// One command line as received, CR removed, taken apart.
struct sim_request {
    char line[SIM_LINE_MAX + 1] = {};   // NUL-terminated
    std::size_t length = 0;
    bool overflow = false;              // the host sent more than SIM_LINE_MAX bytes
    char verb[SIM_VERB_MAX + 1] = {};   // first word
    char args[SIM_LINE_MAX + 1] = {};   // between the verb and the drive, outer spaces removed
    int drive = -1;                     // value of a last word "0x..", else -1
};

// A handler runs after the echo (if any) and sends the reply and payload with
// the helpers below. It returns true when the adapter shows its prompt again
// afterwards; the frame sends it unless the session ended meanwhile.
using sim_handler = bool (*)(sim_context* ctx, const sim_request* request);

struct sim_command {
    const char* verb;
    sim_handler handler;
    bool echo;  // false: the line is neither echoed nor checked for echo faults ("j")
};

const sim_command* find_command(const char* verb);

// ---- Helpers for handlers. Each returns false once the session cannot go on
// (stop requested, fault struck, hang-up); the handler should then return.

// Protocol bytes (echo, reply, prompt): written whole, no faults applied.
bool sim_send(sim_context* ctx, const void* bytes, std::size_t count);
// Payload bytes: paced by --baud, cut by a payload fault after --after N bytes.
bool sim_send_payload(sim_context* ctx, const void* bytes, std::size_t count);
// Sends the two-letter reply. An "OK" is replaced by --reply CODE when given.
// True only when "OK" went out, i.e. a payload may follow.
bool sim_reply(sim_context* ctx, const char* code);
// Sleeps on the monotonic clock; false when a stop was requested meanwhile.
bool sim_sleep_ms(sim_context* ctx, long milliseconds);
// Applies the --silent-at/--hangup-at fault now.
void sim_strike_fault(sim_context* ctx);
// True while output may still go out.
bool sim_live(const sim_context* ctx);
// Next pseudo-random number (xorshift32), seeded by --seed.
std::uint32_t sim_random(sim_context* ctx);
// Reply code for a drive number: "OK" for 8 to 11, "NP" for others, "KO" without one.
const char* sim_drive_reply(const sim_request* request);

// ---- Handlers (one file each).
bool handle_drive_command(sim_context* ctx, const sim_request* request);  // simple_commands.cpp: dc ff di rs
bool handle_unknown(sim_context* ctx, const sim_request* request);        // simple_commands.cpp: KO
bool handle_status(sim_context* ctx, const sim_request* request);         // status.cpp: de
bool handle_directory(sim_context* ctx, const sim_request* request);      // directory.cpp: dd
bool handle_disk_stream(sim_context* ctx, const sim_request* request);    // disk_stream.cpp: ws
bool handle_bootloader(sim_context* ctx, const sim_request* request);     // bootloader.cpp: j
