#include "diskcopy/d64.h"

#include "diskcopy/gcr.h"
#include "diskcopy/packet.h"

void decode_sector_data(const std::uint8_t* packet, std::uint8_t* sector) {
    for (std::uint32_t k = 0; k < D64_SECTOR_BYTES / GCR_GROUP_DATA; ++k)
        gcr_decode_group(packet + k * GCR_GROUP_BYTES, sector + k * GCR_GROUP_DATA);
}

int packet_sector_number(const std::uint8_t* packet) {
    const std::uint8_t code = packet[PACKET_SECTOR_CODE];
    return gcr_decode_table[code & 0x1Fu] + ((code & 0x20u) ? 16 : 0);
}

store_outcome place_sector(const std::uint8_t* packet, int track, std::FILE* file) {
    store_outcome outcome{STORE_OK, packet_sector_number(packet), packet[PACKET_MARKS] & 0x01};
    if (outcome.sector > 254) {
        outcome.status = STORE_BAD_CODE;
        return outcome;
    }
    if (outcome.sector >= sectors_on_track(track)) {
        outcome.status = STORE_OUT_OF_RANGE;
        return outcome;
    }
    std::uint8_t sector[D64_SECTOR_BYTES];
    decode_sector_data(packet, sector);
    const long offset = static_cast<long>(sector_index(track, outcome.sector)) * D64_SECTOR_BYTES;
    // fseek first writes out what stdio still holds; when that fails the
    // error indicator is set and the fault is the data's, not the position's.
    if (std::fseek(file, offset, SEEK_SET) != 0) {
        outcome.status = std::ferror(file) ? STORE_WRITE_FAILED : STORE_SEEK_FAILED;
        return outcome;
    }
    if (std::fwrite(sector, D64_SECTOR_BYTES, 1, file) != 1) outcome.status = STORE_WRITE_FAILED;
    return outcome;
}

void report_store_status(store_status status) {
    switch (status) {
    case STORE_OK: break;
    case STORE_BAD_CODE:
        std::fputs("ERROR: illegal GCR value for sector\n", stderr);
        std::fputs("ERROR: illegal value for sector on current track\n", stderr);
        break;
    case STORE_OUT_OF_RANGE:
        std::fputs("ERROR: illegal value for sector on current track\n", stderr);
        break;
    case STORE_SEEK_FAILED: std::fputs("ERROR: could not seek to offset\n", stderr); break;
    case STORE_WRITE_FAILED: std::fputs("ERROR: could not save to file\n", stderr); break;
    }
}

int store_sector(const std::uint8_t* packet, int track, std::FILE* file) {
    const store_outcome outcome = place_sector(packet, track, file);
    report_store_status(outcome.status);
    return outcome.last;
}
