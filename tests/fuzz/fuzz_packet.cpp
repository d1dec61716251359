// The disk copy's packet path over arbitrary packets: the check-byte test on
// the raw packet, restoring it in place, then decoding and storing its sector
// into a temporary D64 file for a track taken from the first input byte. The
// packet sits in a heap block of exactly 324 bytes, so any access outside it
// is caught by AddressSanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diskcopy/d64.h"
#include "diskcopy/packet.h"
#include "quiet_stderr.h"

namespace {

std::FILE* g_image = nullptr;  // one temporary D64 for the whole run

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_quiet_stderr(argc, argv);
    g_image = std::tmpfile();
    if (g_image == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 + PACKET_SIZE) return -1;
    const int track = 1 + data[0] % D64_TRACKS;
    auto* packet = static_cast<std::uint8_t*>(std::malloc(PACKET_SIZE));
    if (packet == nullptr) std::abort();
    std::memcpy(packet, data + 1, PACKET_SIZE);

    const bool last = packet_last_mark(packet);
    if (packet_retries_exhausted(packet) && !last) std::abort();  // one implies the other
    const int accepted = packet_checksum_ok(packet);
    if (accepted != 0 && accepted != 1) std::abort();
    // The test only reads the packet.
    if (std::memcmp(packet, data + 1, PACKET_SIZE) != 0) std::abort();

    unscramble_packet(packet);
    // Restored byte 321 keeps only the checksum code's last bits and the mark.
    if ((packet[PACKET_MARKS] & 0x3Eu) != 0) std::abort();
    if ((packet[PACKET_MARKS] & 0x01u) != (last ? 1u : 0u)) std::abort();
    // The sector code and the check byte are only transformed.
    if (packet[PACKET_SECTOR_CODE] != transfer_byte(data[1 + PACKET_SECTOR_CODE]) ||
        packet[PACKET_CHECK] != transfer_byte(data[1 + PACKET_CHECK]))
        std::abort();

    // Whatever happens to the sector, the mark comes back, and the file never
    // grows past a whole image.
    if (store_sector(packet, track, g_image) != (last ? 1 : 0)) std::abort();
    if (std::fseek(g_image, 0, SEEK_END) != 0) std::abort();
    const long end = std::ftell(g_image);
    if (end < 0 || end > D64_IMAGE_BYTES || end % D64_SECTOR_BYTES != 0) std::abort();

    std::free(packet);
    return 0;
}
