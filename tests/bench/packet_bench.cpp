// Decoding one sector packet as the copy loop does between two reads: the
// check byte, restoring the stream, the 64 GCR groups and the sector number.
// Goal: at most 0.5 microseconds per packet (median of repetitions).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "diskcopy/d64.h"
#include "diskcopy/packet.h"
#include "packet_builder.h"

namespace {

builder::raw_packet sample_packet(bool last) {
    builder::packet_spec spec;
    spec.data = builder::pattern(18, 7);
    spec.sector = 7;
    spec.last = last;
    spec.check_with_bit3 = last;  // the slower accept path: the second comparison
    return builder::build_packet(spec);
}

void BM_decode_packet(benchmark::State& state) {
    const builder::raw_packet raw = sample_packet(state.range(0) != 0);
    std::array<std::uint8_t, 324> packet;
    std::array<std::uint8_t, 256> sector;
    for (auto _ : state) {
        std::memcpy(packet.data(), raw.data(), raw.size());  // as the read fills the buffer
        benchmark::DoNotOptimize(packet.data());
        const int accepted = packet_checksum_ok(packet.data());
        unscramble_packet(packet.data());
        decode_sector_data(packet.data(), sector.data());
        const int number = packet_sector_number(packet.data());
        benchmark::DoNotOptimize(accepted);
        benchmark::DoNotOptimize(number);
        benchmark::DoNotOptimize(sector.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_decode_packet)->ArgName("last")->Arg(0)->Arg(1)->Repetitions(5)->ReportAggregatesOnly(true);

// The whole of store_sector for comparison: decoding plus one positioning and
// one 256-byte write into stdio's buffer of a temporary file.
void BM_store_sector(benchmark::State& state) {
    builder::raw_packet packet = sample_packet(false);
    unscramble_packet(packet.data());
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        state.SkipWithError("no temporary file");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(store_sector(packet.data(), 18, file));
    std::fclose(file);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_store_sector)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
