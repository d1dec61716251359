// A whole 683-packet disk copy: the real tool against the stand-in adapter on
// its pty, serving the sample disk. Goals: unpaced, at most 0.1 s of wall time;
// paced at 921600 baud (92160 bytes/s), at most 1.02 times the stream's own
// line time (221292 bytes: 2.40 s), with the tool's CPU time under 5% of the
// wall time. Wall time is the tool's process from start to exit.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

#ifdef ORVELAN_SIM_PATH
constexpr double STREAM_BYTES = 683.0 * 324.0;

struct child {
    pid_t pid = -1;
    int out = -1;  // read end of its standard output
};

std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Starts `args` with standard output to a pipe (or to `out_file`) and standard
// error to /dev/null.
bool spawn(std::vector<std::string> args, child* c, const char* out_file = nullptr) {
    int fds[2] = {-1, -1};
    if (out_file == nullptr && pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out_file == nullptr) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, out_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv = argv_of(args);
    const int failed = posix_spawn(&c->pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (out_file == nullptr) {
        close(fds[1]);
        c->out = fds[0];
    }
    return failed == 0;
}

// The simulator prints its pty's path on the first line.
bool read_port(const child& sim, std::string* port) {
    char ch = 0;
    while (true) {
        pollfd p{sim.out, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0 || read(sim.out, &ch, 1) != 1) return false;
        if (ch == '\n') return !port->empty();
        *port += ch;
    }
}

void stop(child* c) {
    if (c->pid > 0) {
        kill(c->pid, SIGTERM);
        waitpid(c->pid, nullptr, 0);
    }
    if (c->out >= 0) close(c->out);
    *c = child{};
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct copy_figures {
    double wall_s = 0;
    double cpu_s = 0;
    double reported_s = 0;  // "succeeded in %.2f seconds."
    bool identical = false;
};

bool copy_once(long baud, copy_figures* f) {
    std::vector<std::string> sim_args = {ORVELAN_SIM_PATH, "--disk", ORVELAN_SAMPLE_DISK, "--delay", "0"};
    if (baud > 0) {
        sim_args.push_back("--baud");
        sim_args.push_back(std::to_string(baud));
    }
    child sim;
    std::string port;
    if (!spawn(sim_args, &sim) || !read_port(sim, &port)) {
        stop(&sim);
        return false;
    }
    char folder[] = "/tmp/orvelan-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return false;
    const std::string image = std::string(folder) + "/copy.d64";
    const std::string output = std::string(folder) + "/stdout.txt";

    child tool;
    const auto start = std::chrono::steady_clock::now();
    bool ok = spawn({ORVELAN_TOOL_PATH, "-w", image, port}, &tool, output.c_str());
    int status = 0;
    rusage usage{};
    ok = ok && wait4(tool.pid, &status, 0, &usage) == tool.pid;
    const auto end = std::chrono::steady_clock::now();
    stop(&sim);

    f->wall_s = std::chrono::duration<double>(end - start).count();
    f->cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const std::string printed = slurp(output);
    const std::size_t at = printed.find("succeeded in ");
    if (at != std::string::npos) f->reported_s = std::strtod(printed.c_str() + at + 13, nullptr);
    f->identical = slurp(image) == slurp(ORVELAN_SAMPLE_DISK);
    std::remove(image.c_str());
    std::remove(output.c_str());
    rmdir(folder);
    return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_copy_disk(benchmark::State& state) {
    const long baud = state.range(0);
    double cpu = 0, wall = 0, reported = 0;
    for (auto _ : state) {
        copy_figures f;
        if (!copy_once(baud, &f) || !f.identical) {
            state.SkipWithError("the copy failed or differs from the sample disk");
            return;
        }
        state.SetIterationTime(f.wall_s);
        cpu += f.cpu_s;
        wall += f.wall_s;
        reported += f.reported_s;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["tool_cpu_ms"] = 1000.0 * cpu / n;
    state.counters["cpu_share_pct"] = 100.0 * cpu / wall;
    state.counters["stream_s"] = reported / n;
    if (baud > 0) state.counters["x_line_time"] = (wall / n) / (STREAM_BYTES / (static_cast<double>(baud) / 10.0));
    state.SetBytesProcessed(static_cast<std::int64_t>(STREAM_BYTES * n));
}
BENCHMARK(BM_copy_disk)->ArgName("baud")->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10)
    ->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_copy_disk)->ArgName("baud")->Arg(921600)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)
    ->Repetitions(3);
#endif

}  // namespace
