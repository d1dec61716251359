#include "fake_port.h"

#include <cstdio>
#include <cstring>
#include <deque>

#include "link/port.h"

namespace {

struct read_step {
    enum { BYTES, EMPTY, FAIL } kind;
    std::string bytes;
};

struct write_step {
    bool fail;
    std::uint32_t max;
};

struct fake_state {
    std::deque<read_step> reads;
    std::deque<write_step> writes;
    std::string written;
    std::string refused;
    fake_port_stats stats;
};

fake_state& state() {
    static fake_state s;
    return s;
}

}  // namespace

void fake_reset() { state() = fake_state{}; }
void fake_read_bytes(const std::string& bytes) { state().reads.push_back({read_step::BYTES, bytes}); }
void fake_read_empty(int calls) {
    for (int i = 0; i < calls; ++i) state().reads.push_back({read_step::EMPTY, {}});
}
void fake_read_fail(const std::string& bytes) { state().reads.push_back({read_step::FAIL, bytes}); }
void fake_write_limit(std::uint32_t max) { state().writes.push_back({false, max}); }
void fake_write_fail() { state().writes.push_back({true, 0}); }
void fake_refuse_open(const std::string& name) { state().refused = name; }
const std::string& fake_written() { return state().written; }
const fake_port_stats& fake_stats() { return state().stats; }

std::size_t fake_unread() {
    std::size_t n = 0;
    for (const read_step& step : state().reads) n += step.bytes.size();
    return n;
}

std::string hex_dump(const std::string& bytes) {
    std::string out;
    char cell[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) {
            char offset[16];
            std::snprintf(offset, sizeof offset, "%s%04zx:", i ? "\n" : "", i);
            out += offset;
        }
        std::snprintf(cell, sizeof cell, " %02x", static_cast<unsigned char>(bytes[i]));
        out += cell;
    }
    return out;
}

bool open_port(const char* name, serial_port* port) {
    if (state().refused == name) {
        port->os_handle = -1;
        return false;
    }
    port->os_handle = 3;
    return true;
}

bool configure_port(serial_port* port, std::uint32_t call_timeout_ms) {
    port->call_timeout_ms = call_timeout_ms;
    return true;
}

void close_port(serial_port* port) { port->os_handle = -1; }

port_call port_read(serial_port*, std::uint8_t* buffer, std::uint32_t count) {
    fake_state& s = state();
    ++s.stats.read_calls;
    s.stats.read_requests.push_back(count);
    if (s.reads.empty()) return {true, 0};  // the script is over: silence
    read_step& step = s.reads.front();
    if (step.kind == read_step::EMPTY) {
        s.reads.pop_front();
        return {true, 0};
    }
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, step.bytes.size()));
    std::memcpy(buffer, step.bytes.data(), n);
    const bool ok = step.kind != read_step::FAIL;
    step.bytes.erase(0, n);
    if (step.bytes.empty() || !ok) s.reads.pop_front();
    return {ok, n};
}

port_call port_write(serial_port*, const std::uint8_t* data, std::uint32_t count) {
    fake_state& s = state();
    ++s.stats.write_calls;
    std::uint32_t n = count;
    bool ok = true;
    if (!s.writes.empty()) {
        const write_step step = s.writes.front();
        s.writes.pop_front();
        if (step.fail) {
            ok = false;
            n = 0;
        } else if (step.max < n) {
            n = step.max;
        }
    }
    s.written.append(reinterpret_cast<const char*>(data), n);
    return {ok, n};
}
