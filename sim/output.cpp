// Everything the simulated adapter sends goes through here. The master is
// non-blocking: a write that does not fit waits in poll() with a short
// time-out, so a host that stopped reading never keeps SIGTERM from working.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "commands.h"
#include "output.h"

namespace {

constexpr int POLL_SLICE_MS = 100;   // how often a wait looks at the stop flag
constexpr int PACE_SLICES_PER_SECOND = 200;

bool wait_writable(const sim_context* ctx) {
    pollfd entry{ctx->pty->master, POLLOUT, 0};
    while (g_sim_stop == 0) {
        int ready = poll(&entry, 1, POLL_SLICE_MS);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

// Writes every byte or gives up on stop or a failed write.
bool write_all(sim_context* ctx, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        if (g_sim_stop != 0) return false;
        ssize_t moved = write(ctx->pty->master, bytes, count);
        if (moved > 0) {
            bytes += moved;
            count -= static_cast<std::size_t>(moved);
        } else if (moved < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (!wait_writable(ctx)) {
            return false;
        }
    }
    return true;
}

bool sleep_until_ns(std::int64_t deadline) {
    timespec when{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
    while (g_sim_stop == 0) {
        int failed = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
        if (failed == 0) return true;
        if (failed != EINTR) return false;
    }
    return false;
}

// Payload at --baud N/10 bytes per second: each slice waits until its due
// time, counted from the command's first payload byte, so the average rate
// holds however long each write takes.
bool write_paced(sim_context* ctx, const unsigned char* bytes, std::size_t count) {
    long rate = ctx->options->baud / 10;
    if (rate <= 0) return write_all(ctx, bytes, count);
    if (ctx->pace_start_ns == 0) ctx->pace_start_ns = sim_now_ns();
    std::size_t slice = static_cast<std::size_t>(rate / PACE_SLICES_PER_SECOND);
    if (slice == 0) slice = 1;
    while (count > 0) {
        std::int64_t due = ctx->pace_start_ns + ctx->payload_sent * 1000000000LL / rate;
        if (!sleep_until_ns(due)) return false;
        std::size_t part = count < slice ? count : slice;
        if (!write_all(ctx, bytes, part)) return false;
        bytes += part;
        count -= part;
        ctx->payload_sent += static_cast<long>(part);
    }
    return true;
}

}  // namespace

std::int64_t sim_now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

bool sim_live(const sim_context* ctx) {
    return !ctx->muted && !ctx->hung_up && g_sim_stop == 0;
}

bool sim_send(sim_context* ctx, const void* bytes, std::size_t count) {
    if (!sim_live(ctx)) return false;
    return write_all(ctx, static_cast<const unsigned char*>(bytes), count);
}

bool sim_send_payload(sim_context* ctx, const void* bytes, std::size_t count) {
    if (!sim_live(ctx)) return false;
    const sim_options* options = ctx->options;
    bool cut = false;
    if (options->fault != FAULT_NONE && options->fault_phase == PHASE_PAYLOAD) {
        long left = options->after > ctx->payload_sent ? options->after - ctx->payload_sent : 0;
        if (count > static_cast<std::size_t>(left)) {
            count = static_cast<std::size_t>(left);
            cut = true;
        }
    }
    const unsigned char* data = static_cast<const unsigned char*>(bytes);
    if (options->baud > 0) {
        if (!write_paced(ctx, data, count)) return false;
    } else {
        if (!write_all(ctx, data, count)) return false;
        ctx->payload_sent += static_cast<long>(count);
    }
    if (cut) {
        sim_strike_fault(ctx);
        return false;
    }
    return true;
}

bool sim_reply(sim_context* ctx, const char* code) {
    const char* sent = code;
    if (std::strcmp(code, "OK") == 0) sent = ctx->options->reply;
    if (!sim_send(ctx, sent, 2)) return false;
    return std::strcmp(sent, "OK") == 0;
}

bool sim_sleep_ms(sim_context*, long milliseconds) {
    if (milliseconds <= 0) return g_sim_stop == 0;
    return sleep_until_ns(sim_now_ns() + milliseconds * 1000000LL);
}

bool sim_drain(sim_context* ctx, int leave, long limit_ms) {
    // Bytes written to the master reach the slave's queue a moment later, so
    // the queue must look drained twice in a row.
    std::int64_t deadline = sim_now_ns() + limit_ms * 1000000LL;
    int calm = 0;
    while (calm < 2) {
        if (!sim_sleep_ms(ctx, 10)) return false;
        calm = pty_unread(ctx->pty) <= leave ? calm + 1 : 0;
        if (sim_now_ns() > deadline) return false;
    }
    return true;
}

void sim_hang_up(sim_context* ctx) {
    // Let the host read what went out before, so it sees the bytes first and
    // the hang-up after them.
    sim_drain(ctx, 0, HANGUP_DRAIN_LIMIT_MS);
    pty_close_master(ctx->pty);
    ctx->hung_up = true;
}

void sim_strike_fault(sim_context* ctx) {
    if (ctx->options->fault == FAULT_SILENT) ctx->muted = true;
    if (ctx->options->fault == FAULT_HANGUP) sim_hang_up(ctx);
}

std::uint32_t sim_random(sim_context* ctx) {
    std::uint32_t x = ctx->random_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    ctx->random_state = x;
    return x;
}

const char* sim_drive_reply(const sim_request* request) {
    if (request->drive < 0) return "KO";
    if (request->drive < 8 || request->drive > 11) return "NP";
    return "OK";
}
