#pragma once
// How the Windows C runtime splits a command line back into arguments,
// written from its documented rules independently of the tool's composer:
// white space is space and tab; 2n backslashes before a quote give n and the
// quote opens or closes quoting, 2n+1 give n and a literal quote; "" inside
// quotes is a literal quote; other backslashes are literal.
#include <cstddef>
#include <string>
#include <vector>

inline std::vector<std::string> split_command_line(const std::string& line) {
    std::vector<std::string> args;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i == line.size()) return args;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
            if (i < line.size() && line[i] == '"') {
                arg.append(backslashes / 2, '\\');
                if (backslashes % 2 != 0) {
                    arg.push_back('"');
                } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg.push_back('"');
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg.append(backslashes, '\\');
                if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')))
                    arg.push_back(line[i++]);
            }
        }
        args.push_back(arg);
    }
}
