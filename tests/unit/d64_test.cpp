// D64 placement: the track table, sector numbers and store_sector with every
// message, against real temporary files.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "diskcopy/d64.h"
#include "diskcopy/packet.h"
#include "fake_port.h"
#include "packet_builder.h"

namespace {

std::string bytes_of(const std::uint8_t* p, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

std::string file_contents(std::FILE* f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::string out(static_cast<std::size_t>(size), '\0');
    std::fseek(f, 0, SEEK_SET);
    if (size > 0) {
        EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    }
    return out;
}

// A built packet, restored as warp_copy_disk hands it to store_sector.
builder::raw_packet restored_packet(const builder::packet_spec& spec) {
    builder::raw_packet p = builder::build_packet(spec);
    unscramble_packet(p.data());
    return p;
}

struct table_row {
    int track;
    int first_sector;
};

class TrackTable : public testing::TestWithParam<table_row> {};

TEST_P(TrackTable, FirstSectorIndex) {
    const table_row r = GetParam();
    EXPECT_EQ(track_start_table[r.track - 1], r.first_sector) << "track " << r.track;
}

INSTANTIATE_TEST_SUITE_P(Rows, TrackTable,
                         testing::Values(table_row{1, 0}, table_row{2, 21}, table_row{17, 336},
                                         table_row{18, 357}, table_row{24, 471}, table_row{25, 490},
                                         table_row{30, 580}, table_row{31, 598}, table_row{35, 666},
                                         table_row{36, 683}, table_row{40, 751}));

TEST(TrackTable, ImageSizeFollowsFromTheTable) {
    EXPECT_EQ(track_start_table[35] * D64_SECTOR_BYTES, D64_IMAGE_BYTES);
    EXPECT_EQ((track_start_table[34] + sectors_on_track(35)) * D64_SECTOR_BYTES, D64_IMAGE_BYTES);
}

struct zone_row {
    int track;
    int sectors;
};

class SectorsOnTrack : public testing::TestWithParam<zone_row> {};

TEST_P(SectorsOnTrack, Zone) { EXPECT_EQ(sectors_on_track(GetParam().track), GetParam().sectors); }

INSTANTIATE_TEST_SUITE_P(Zones, SectorsOnTrack,
                         testing::Values(zone_row{0, 0}, zone_row{1, 21}, zone_row{17, 21}, zone_row{18, 19},
                                         zone_row{24, 19}, zone_row{25, 18}, zone_row{30, 18},
                                         zone_row{31, 17}, zone_row{35, 17}, zone_row{40, 17},
                                         zone_row{41, 0}));

struct code_row {
    std::uint8_t code;  // restored byte 322
    int sector;         // above 254: invalid
};

class SectorCode : public testing::TestWithParam<code_row> {};

TEST_P(SectorCode, Decodes) {
    std::array<std::uint8_t, 324> packet{};
    packet[PACKET_SECTOR_CODE] = GetParam().code;
    const int sector = packet_sector_number(packet.data());
    if (GetParam().sector > 254)
        EXPECT_GT(sector, 254) << "code 0x" << std::hex << int(GetParam().code);
    else
        EXPECT_EQ(sector, GetParam().sector) << "code 0x" << std::hex << int(GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Codes, SectorCode,
                         testing::Values(code_row{0x0A, 0}, code_row{0x2A, 16}, code_row{0xCA, 0},
                                         code_row{0x35, 31}, code_row{0x00, 255}, code_row{0x20, 255},
                                         code_row{0x09, 8}, code_row{0x33, 19}, code_row{0x15, 15},
                                         code_row{0x1F, 255}));

struct place_row {
    const char* name;
    int track;
    int sector;
    bool last;
    long offset;  // where the sector lands; -1: refused
    const char* messages;
};

class StoreSector : public testing::TestWithParam<place_row> {};

TEST_P(StoreSector, PlacesOrRefuses) {
    const place_row r = GetParam();
    builder::packet_spec spec;
    spec.data = builder::pattern(r.track, r.sector);
    spec.sector = r.sector;
    spec.last = r.last;
    const builder::raw_packet packet = restored_packet(spec);

    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    testing::internal::CaptureStderr();
    const int mark = store_sector(packet.data(), r.track, file);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.messages);
    EXPECT_EQ(mark, r.last ? 1 : 0);

    const std::string image = file_contents(file);
    std::fclose(file);
    if (r.offset < 0) {
        EXPECT_EQ(image.size(), 0u) << "nothing is written for a refused sector";
        return;
    }
    ASSERT_EQ(image.size(), static_cast<std::size_t>(r.offset + 256)) << "the file ends with the sector";
    EXPECT_EQ(image.substr(0, static_cast<std::size_t>(r.offset)), std::string(static_cast<std::size_t>(r.offset), '\0'))
        << "the gap before the sector reads as zeros";
    const std::string expected = bytes_of(spec.data.data(), 256);
    const std::string actual = image.substr(static_cast<std::size_t>(r.offset));
    EXPECT_EQ(actual, expected) << "expected " << hex_dump(expected) << "\nactual   " << hex_dump(actual);
}

constexpr char kRange[] = "ERROR: illegal value for sector on current track\n";

INSTANTIATE_TEST_SUITE_P(
    Placement, StoreSector,
    testing::Values(place_row{"t1_s0", 1, 0, false, 0, ""},
                    place_row{"t17_s20", 17, 20, true, 91136, ""},
                    place_row{"t18_s0", 18, 0, false, 91392, ""},
                    place_row{"t18_s20_refused", 18, 20, false, -1, kRange},
                    place_row{"t24_s18", 24, 18, true, (471 + 18) * 256L, ""},
                    place_row{"t25_s18_refused", 25, 18, false, -1, kRange},
                    place_row{"t30_s17", 30, 17, false, (580 + 17) * 256L, ""},
                    place_row{"t31_s17_refused_keeps_mark", 31, 17, true, -1, kRange},
                    place_row{"t35_s16", 35, 16, true, 174592, ""}),
    [](const testing::TestParamInfo<place_row>& p) { return std::string(p.param.name); });

struct bad_code_row {
    const char* name;
    int code;  // 5-bit code put in place of the sector's own
    int sector_bit4;
    const char* messages;
};

class StoreBadCode : public testing::TestWithParam<bad_code_row> {};

TEST_P(StoreBadCode, RefusedWithMessagesInOrder) {
    const bad_code_row r = GetParam();
    builder::packet_spec spec;
    spec.data = builder::pattern(2, 3);
    spec.sector = r.sector_bit4;
    spec.sector_code_override = r.code;
    spec.last = true;
    const builder::raw_packet packet = restored_packet(spec);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(store_sector(packet.data(), 2, file), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.messages);
    EXPECT_EQ(file_contents(file).size(), 0u);
    std::fclose(file);
}

constexpr char kBadCode[] =
    "ERROR: illegal GCR value for sector\nERROR: illegal value for sector on current track\n";

INSTANTIATE_TEST_SUITE_P(Codes, StoreBadCode,
                         testing::Values(bad_code_row{"code_00", 0x00, 0, kBadCode},
                                         bad_code_row{"code_1C_with_16", 0x1C, 16, kBadCode},
                                         bad_code_row{"code_15_with_16_is_sector_31", 0x15, 16, kRange}),
                         [](const testing::TestParamInfo<bad_code_row>& p) { return std::string(p.param.name); });

TEST(StoreSector, AllFFRawPacketStoresNothing) {
    std::array<std::uint8_t, 324> packet;
    packet.fill(0xFF);
    ASSERT_EQ(packet_checksum_ok(packet.data()), 1);
    unscramble_packet(packet.data());
    std::array<std::uint8_t, 256> data{};
    decode_sector_data(packet.data(), data.data());
    std::array<std::uint8_t, 256> ones;
    ones.fill(0xFF);
    EXPECT_EQ(data, ones) << "all codes 0 decode to nybbles 15";

    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(store_sector(packet.data(), 1, file), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kBadCode);
    EXPECT_EQ(file_contents(file).size(), 0u);
    std::fclose(file);
}

TEST(StoreSector, InvalidDataCodesStoreNybble15) {
    builder::packet_spec spec;
    spec.data = builder::pattern(5, 5);
    spec.sector = 5;
    builder::raw_packet packet = restored_packet(spec);
    packet[0] = 0x00;  // first two codes of data byte 0 become 0x00 and part of the next
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    testing::internal::CaptureStderr();
    store_sector(packet.data(), 5, file);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::string image = file_contents(file);
    std::fclose(file);
    const long offset = builder::image_offset(5, 5);
    ASSERT_EQ(image.size(), static_cast<std::size_t>(offset + 256));
    EXPECT_EQ(static_cast<std::uint8_t>(image[static_cast<std::size_t>(offset)]), 0xFF);
    EXPECT_EQ(image.substr(static_cast<std::size_t>(offset + 1)), bytes_of(spec.data.data() + 1, 255));
}

TEST(StoreSector, LaterDuplicateStands) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    builder::packet_spec first;
    first.data = builder::pattern(20, 4);
    first.sector = 4;
    builder::packet_spec second = first;
    second.data = builder::pattern(99, 99);
    testing::internal::CaptureStderr();
    store_sector(restored_packet(first).data(), 20, file);
    store_sector(restored_packet(second).data(), 20, file);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::string image = file_contents(file);
    std::fclose(file);
    const long offset = builder::image_offset(20, 4);
    ASSERT_EQ(image.size(), static_cast<std::size_t>(offset + 256));
    EXPECT_EQ(image.substr(static_cast<std::size_t>(offset)), bytes_of(second.data.data(), 256));
}

#ifndef _WIN32
TEST(StoreSector, FullDeviceReportsSaveFailureNotSeek) {
    // The first sector sits in stdio's buffer; writing it out fails when the
    // second one is positioned. That is a failed save, not a failed seek.
    std::FILE* file = std::fopen("/dev/full", "wb+");
    if (file == nullptr) GTEST_SKIP() << "no /dev/full";
    builder::packet_spec spec;
    spec.data = builder::pattern(1, 0);
    testing::internal::CaptureStderr();
    const store_outcome first = place_sector(restored_packet(spec).data(), 1, file);
    spec.sector = 1;
    const store_outcome second = place_sector(restored_packet(spec).data(), 1, file);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(first.status, STORE_OK);
    EXPECT_EQ(second.status, STORE_WRITE_FAILED);
    std::fclose(file);
}

TEST(StoreSector, UnbufferedFullDeviceFailsTheWrite) {
    std::FILE* file = std::fopen("/dev/full", "wb+");
    if (file == nullptr) GTEST_SKIP() << "no /dev/full";
    std::setvbuf(file, nullptr, _IONBF, 0);
    builder::packet_spec spec;
    spec.data = builder::pattern(1, 0);
    spec.last = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(store_sector(restored_packet(spec).data(), 1, file), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: could not save to file\n");
    std::fclose(file);
}

TEST(StoreSector, UnpositionableFileReportsSeek) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::FILE* file = fdopen(fds[1], "wb");
    ASSERT_NE(file, nullptr);
    builder::packet_spec spec;
    spec.data = builder::pattern(3, 2);
    spec.sector = 2;
    testing::internal::CaptureStderr();
    EXPECT_EQ(store_sector(restored_packet(spec).data(), 3, file), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: could not seek to offset\n");
    std::fclose(file);
    close(fds[0]);
}
#endif

}  // namespace
