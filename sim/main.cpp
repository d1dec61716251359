// orvelan-sim: a stand-in Orvelan adapter on a pseudo-terminal, so the tool
// and its tests run without the hardware.
#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "command_log.h"
#include "commands.h"
#include "options.h"
#include "pty.h"
#include "session.h"

volatile std::sig_atomic_t g_sim_stop = 0;

namespace {

void request_stop(int) { g_sim_stop = 1; }

// No SA_RESTART: a stop interrupts whatever sleep or poll is under way.
void install_signals() {
    struct sigaction action{};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::uint32_t pick_seed(const sim_options* options) {
    if (options->seed != 0) return options->seed;
    std::uint32_t seed = static_cast<std::uint32_t>(time(nullptr)) ^ (static_cast<std::uint32_t>(getpid()) << 16);
    return seed != 0 ? seed : 1;
}

}  // namespace

int main(int argc, char** argv) {
    static sim_options options;
    switch (parse_options(argc, argv, &options)) {
    case PARSE_HELP: return 0;
    case PARSE_ERROR: return 2;
    case PARSE_RUN: break;
    }
    install_signals();
    if (options.log_path != nullptr && !command_log_open(options.log_path)) return 1;
    static sim_pty pty;
    if (!pty_open(&pty)) {
        std::perror("orvelan-sim: cannot open a pseudo-terminal");
        return 1;
    }
    std::printf("%s\n", pty.slave_path);
    std::fflush(stdout);
    if (options.link_path != nullptr && !link_create(options.link_path, pty.slave_path)) {
        pty_close(&pty);
        return 1;
    }
    sim_context ctx;
    ctx.options = &options;
    ctx.pty = &pty;
    ctx.random_state = pick_seed(&options);
    std::fprintf(stderr, "orvelan-sim: on %s, seed %u\n", pty.slave_path, ctx.random_state);
    run_session(&ctx);
    if (options.link_path != nullptr) link_remove(options.link_path, pty.slave_path);
    pty_close(&pty);
    command_log_close();
    return 0;
}
