#pragma once
// The code under test writes a line to standard error for every refused
// sector or option, and that would be the slowest part of a run. libFuzzer
// itself can send the target's standard error to /dev/null while keeping its
// own output and the sanitizers' reports: -close_fd_mask=2. This puts that
// flag first on the fuzzer's command line (a later one given by hand wins),
// from LLVMFuzzerInitialize, before libFuzzer reads its flags.
#include <cstdlib>

inline void fuzz_quiet_stderr(int* argc, char*** argv) {
    static char flag[] = "-close_fd_mask=2";
    static char** with_flag = nullptr;
    with_flag = static_cast<char**>(std::calloc(static_cast<std::size_t>(*argc) + 2, sizeof(char*)));
    if (with_flag == nullptr) std::abort();
    with_flag[0] = (*argv)[0];
    with_flag[1] = flag;
    for (int i = 1; i < *argc; ++i) with_flag[i + 1] = (*argv)[i];
    ++*argc;
    *argv = with_flag;
}
