// One adapter session: greeting, then per command line the echo, the
// command's handler and the next prompt, with the faults the options ask for.
#include "session.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "command_log.h"
#include "output.h"

namespace {

constexpr char GREETING[] = "\r\nOrvelan adapter (simulated)\r\nFirmware v2.4.0.0.0";
constexpr long SPLIT_PROMPT_PAUSE_MS = 20;
constexpr long ONCE_DRAIN_LIMIT_MS = 3000;

struct line_state {
    char bytes[SIM_LINE_MAX] = {};
    std::size_t length = 0;
    bool overflow = false;
};

bool ends_with_prompt(const char* text, std::size_t length) {
    return length >= SIM_PROMPT_LENGTH &&
           std::memcmp(text + length - SIM_PROMPT_LENGTH, SIM_PROMPT, SIM_PROMPT_LENGTH) == 0;
}

// Random bytes rich in the prompt's own characters, so the host meets CR, LF
// and '>' that must not fool it; a byte that would complete a prompt is
// replaced.
std::size_t append_garbage(sim_context* ctx, char* text, std::size_t length, int count) {
    static const char TRICKY[] = "\r\n> ";
    for (int i = 0; i < count; ++i) {
        std::uint32_t r = sim_random(ctx);
        char c = (r & 1) != 0 ? TRICKY[(r >> 1) % 4] : static_cast<char>(1 + (r >> 8) % 255);
        text[length++] = c;
        if (ends_with_prompt(text, length)) text[length - 1] = '#';
    }
    return length;
}

bool send_prompt(sim_context* ctx) {
    if (!ctx->options->split_prompt) return sim_send(ctx, SIM_PROMPT, SIM_PROMPT_LENGTH);
    for (std::size_t i = 0; i < SIM_PROMPT_LENGTH; ++i) {
        if (i > 0 && !sim_sleep_ms(ctx, SPLIT_PROMPT_PAUSE_MS)) return false;
        if (!sim_send(ctx, SIM_PROMPT + i, 1)) return false;
    }
    return true;
}

bool fault_at(const sim_context* ctx, sim_phase phase) {
    return ctx->options->fault != FAULT_NONE && ctx->options->fault_phase == phase;
}

void greet(sim_context* ctx) {
    static char text[sizeof GREETING + SIM_GARBAGE_MAX];
    std::size_t length = sizeof GREETING - 1;
    std::memcpy(text, GREETING, length);
    length = append_garbage(ctx, text, length, ctx->options->garbage);
    if (!sim_send(ctx, text, length)) return;
    if (ctx->options->no_prompt) {
        ctx->muted = true;
        return;
    }
    if (fault_at(ctx, PHASE_START) && ctx->options->fault == FAULT_HANGUP) {
        // Hanging up before the host has the port open would only make the
        // port vanish; the point is a host that loses an open port.
        if (pty_wait_for_host(ctx->pty)) sim_hang_up(ctx);
        return;
    }
    // A prompt in pieces only tests the host if it is reading meanwhile.
    if (ctx->options->split_prompt && !pty_wait_for_host(ctx->pty)) return;
    if (!send_prompt(ctx)) return;
    if (fault_at(ctx, PHASE_START)) sim_strike_fault(ctx);
}

// The echo answers the line's CR with CR LF. False when the session is over.
bool send_echo(sim_context* ctx, const sim_request* request) {
    if (fault_at(ctx, PHASE_ECHO)) {
        sim_strike_fault(ctx);
        return false;
    }
    char echo[SIM_LINE_MAX + 2];
    std::memcpy(echo, request->line, request->length);
    std::memcpy(echo + request->length, "\r\n", 2);
    if (ctx->options->short_echo) {
        sim_send(ctx, echo, request->length);
        ctx->muted = true;
        return false;
    }
    if (ctx->options->wrong_echo) echo[0] = static_cast<char>(echo[0] ^ 0x01);
    if (!sim_send(ctx, echo, request->length + 2)) return false;
    if (fault_at(ctx, PHASE_REPLY)) {
        sim_strike_fault(ctx);
        return false;
    }
    return true;
}

void answer_line(sim_context* ctx, const line_state* line) {
    static sim_request request;
    parse_request(line->bytes, line->length, line->overflow, &request);
    command_log_write(&request);
    if (!sim_live(ctx)) return;
    ctx->payload_sent = 0;
    ctx->pace_start_ns = 0;
    const sim_command* command = request.overflow ? nullptr : find_command(request.verb);
    bool echo = command == nullptr || command->echo;
    if (echo && !send_echo(ctx, &request)) return;
    bool prompt = true;  // an empty line gets its echo and a new prompt
    if (request.length > 0) {
        prompt = command != nullptr ? command->handler(ctx, &request) : handle_unknown(ctx, &request);
    }
    if (!sim_live(ctx)) return;
    if (prompt && !send_prompt(ctx)) return;
    if (ctx->options->once) {
        // The host leaves the prompt after a reply unread.
        sim_drain(ctx, static_cast<int>(SIM_PROMPT_LENGTH), ONCE_DRAIN_LIMIT_MS);
        ctx->finished = true;
    }
}

// Feeds received bytes to the line; a CR completes it, an LF is ignored.
void take_input(sim_context* ctx, line_state* line, const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count && !ctx->hung_up && !ctx->finished; ++i) {
        char c = static_cast<char>(bytes[i]);
        if (c == '\n') {
            // Tolerated, but a host should send CR alone; tests look for this.
            std::fputs("orvelan-sim: ignored LF\n", stderr);
            continue;
        }
        if (c == '\r') {
            answer_line(ctx, line);
            *line = line_state{};
        } else if (line->length < SIM_LINE_MAX) {
            line->bytes[line->length++] = c;
        } else {
            line->overflow = true;
        }
    }
}

bool is_drive_word(const char* word, std::size_t length) {
    if (length < 3 || word[0] != '0' || (word[1] != 'x' && word[1] != 'X') || length > 6) return false;
    for (std::size_t i = 2; i < length; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(word[i]))) return false;
    }
    return true;
}

}  // namespace

void parse_request(const char* line, std::size_t length, bool overflow, sim_request* request) {
    *request = sim_request{};
    std::memcpy(request->line, line, length);
    request->length = length;
    request->overflow = overflow;
    std::size_t verb_end = 0;
    while (verb_end < length && line[verb_end] != ' ') ++verb_end;
    std::size_t verb_length = verb_end < SIM_VERB_MAX ? verb_end : SIM_VERB_MAX;
    std::memcpy(request->verb, line, verb_length);
    std::size_t args_end = length;
    std::size_t last_space = length;
    while (last_space > verb_end && line[last_space - 1] != ' ') --last_space;
    if (last_space > verb_end && is_drive_word(line + last_space, length - last_space)) {
        request->drive = static_cast<int>(std::strtol(line + last_space + 2, nullptr, 16));
        args_end = last_space;
    }
    std::size_t args_start = verb_end;
    while (args_start < args_end && line[args_start] == ' ') ++args_start;
    while (args_end > args_start && line[args_end - 1] == ' ') --args_end;
    std::memcpy(request->args, line + args_start, args_end - args_start);
}

void run_session(sim_context* ctx) {
    greet(ctx);
    static line_state line;
    unsigned char input[1024];
    while (g_sim_stop == 0 && !ctx->hung_up && !ctx->finished) {
        pollfd entry{ctx->pty->master, POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0) continue;
        ssize_t count = read(ctx->pty->master, input, sizeof input);
        if (count > 0) {
            take_input(ctx, &line, input, static_cast<std::size_t>(count));
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
            usleep(10000);  // no slave open (cannot last: this process holds one)
        }
    }
}
