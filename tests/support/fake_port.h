#pragma once
// A scripted stand-in for the platform's serial file, linked into the unit
// tests in its place. Reads follow a script of call outcomes; writes are
// recorded and may be scripted to move less than asked.
#include <cstdint>
#include <string>
#include <vector>

struct fake_port_stats {
    int read_calls = 0;
    int write_calls = 0;
    std::vector<std::uint32_t> read_requests;  // the count asked for, per read call
};

void fake_reset();

// The next read call delivers up to these bytes; what the caller did not ask
// for stays at the head of the script for the next call.
void fake_read_bytes(const std::string& bytes);
// `calls` read calls that move nothing.
void fake_read_empty(int calls = 1);
// A read call that fails after moving up to `bytes` (possibly none).
void fake_read_fail(const std::string& bytes = "");

// The next write call moves at most `max` bytes (0: none); a failing call.
void fake_write_limit(std::uint32_t max);
void fake_write_fail();

// Name that open_port refuses.
void fake_refuse_open(const std::string& name);

const std::string& fake_written();
const fake_port_stats& fake_stats();
// Bytes of the read script not yet delivered.
std::size_t fake_unread();

// Hex dump helper for mismatch messages.
std::string hex_dump(const std::string& bytes);
