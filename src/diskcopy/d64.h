#pragma once
#include <array>
#include <cstdint>
#include <cstdio>

// The D64 image of a 35-track disk: the sectors of tracks 1-35 in track order,
// and within a track by sector number, 256 bytes each, nothing else.

inline constexpr int D64_TRACKS = 35;
inline constexpr int D64_SECTOR_BYTES = 256;
inline constexpr int D64_SECTORS = 683;
inline constexpr long D64_IMAGE_BYTES = 174848;
inline constexpr int D64_MAX_SECTORS_PER_TRACK = 21;

// Sectors per track by zone: 21 on tracks 1-17, 19 on 18-24, 18 on 25-30,
// 17 from 31 on; 0 for a track outside 1-40.
constexpr int sectors_on_track(int track) {
    if (track < 1 || track > 40) return 0;
    if (track <= 17) return 21;
    if (track <= 24) return 19;
    if (track <= 30) return 18;
    return 17;
}

constexpr std::array<std::uint16_t, 40> make_track_start_table() {
    std::array<std::uint16_t, 40> table{};
    for (int track = 2; track <= 40; ++track)
        table[track - 1] = static_cast<std::uint16_t>(table[track - 2] + sectors_on_track(track - 1));
    return table;
}

// Index of each track's first sector in the image; entry 0 is track 1.
inline constexpr std::array<std::uint16_t, 40> track_start_table = make_track_start_table();

// Index of sector `sector` of `track` in the image (tracks 1-40).
constexpr int sector_index(int track, int sector) { return track_start_table[track - 1] + sector; }

// Decodes the 64 GCR groups in bytes 0-319 of an unscrambled packet into the
// 256 bytes of `sector`.
void decode_sector_data(const std::uint8_t* packet, std::uint8_t* sector);

// Sector number of an unscrambled packet: the nybble of the code in bits 0-4
// of byte 322, plus 16 for bit 5. Above 254 when the code is invalid.
int packet_sector_number(const std::uint8_t* packet);

enum store_status {
    STORE_OK,
    STORE_BAD_CODE,      // the sector code is no valid GCR code
    STORE_OUT_OF_RANGE,  // the sector number is not below the track's count
    STORE_SEEK_FAILED,   // the file could not be positioned
    STORE_WRITE_FAILED,  // the file refused the data (also a failed flush on seeking)
};

struct store_outcome {
    store_status status;
    int sector;  // as decoded, also when refused
    int last;    // the last-sector mark, 0 or 1
};

// Decodes the sector of an unscrambled packet and writes it at its place in
// the D64 file for `track`. Prints nothing: the caller reports the outcome.
store_outcome place_sector(const std::uint8_t* packet, int track, std::FILE* file);

// Writes the standard-error messages of `status`, in their order.
void report_store_status(store_status status);

// place_sector with its messages; returns the packet's last-sector mark
// whatever happened to the sector.
int store_sector(const std::uint8_t* packet, int track, std::FILE* file);
