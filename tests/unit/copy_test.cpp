// The -w task against the scripted fake port: the conversation, the packet
// loop with both marks and the packet counter, getting back in step after a
// rejected last packet, the image on disk and every message.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include "diskcopy/copy.h"
#include "diskcopy/progress.h"
#include "fake_port.h"
#include "packet_builder.h"

namespace {

using sector_id = std::pair<int, int>;  // track, sector

struct stream_item {
    builder::packet_spec spec;
    int track = 0;
    bool corrupt = false;  // the check byte is wrong
};

using packet_stream = std::vector<stream_item>;

// Every track in an interleaved order, the last packet marked; every fourth
// track's last check byte in its bit-3 form.
packet_stream clean_stream() {
    packet_stream s;
    for (int t = 1; t <= 35; ++t) {
        const int n = builder::track_sectors(t);
        for (int k = 0; k < n; ++k) {
            stream_item item;
            item.track = t;
            item.spec.sector = (t * 5 + k * 11) % n;
            item.spec.data = builder::pattern(t, item.spec.sector);
            item.spec.last = k == n - 1;
            item.spec.check_with_bit3 = item.spec.last && t % 4 == 0;
            s.push_back(item);
        }
    }
    return s;
}

std::string serialize(const packet_stream& s) {
    std::string out;
    for (const stream_item& item : s) {
        builder::raw_packet raw = builder::build_packet(item.spec);
        if (item.corrupt) raw[323] ^= 0x21;
        out += builder::as_string(raw);
    }
    return out;
}

// Position in the stream of the k-th packet of `track` (k = -1: its last).
std::size_t at(const packet_stream& s, int track, int k) {
    std::vector<std::size_t> hits;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (s[i].track == track) hits.push_back(i);
    return k < 0 ? hits.back() : hits.at(static_cast<std::size_t>(k));
}

stream_item retries_packet(int track) {
    stream_item item;
    item.track = track;
    item.spec.retries_exhausted = true;
    return item;
}

std::string sector_bytes(int track, int sector) {
    const builder::sector_data d = builder::pattern(track, sector);
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

// The whole image, with zeros for the sectors in `missing`.
std::string image_without(const std::set<sector_id>& missing) {
    std::string image;
    for (int t = 1; t <= 35; ++t)
        for (int s = 0; s < builder::track_sectors(t); ++s)
            image += missing.count({t, s}) ? std::string(256, '\0') : sector_bytes(t, s);
    return image;
}

// What a copy that ended early leaves: the sectors of the first `count`
// packets of `s` at their places, the file ending after the highest one.
std::string image_of_first(const packet_stream& s, std::size_t count) {
    std::string image;
    for (std::size_t i = 0; i < count; ++i) {
        const long offset = builder::image_offset(s[i].track, s[i].spec.sector);
        if (image.size() < static_cast<std::size_t>(offset + 256)) image.resize(static_cast<std::size_t>(offset + 256), '\0');
        image.replace(static_cast<std::size_t>(offset), 256, sector_bytes(s[i].track, s[i].spec.sector));
    }
    return image;
}

std::string read_all(std::FILE* f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    std::fseek(f, 0, SEEK_SET);
    if (size > 0) {
        EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    }
    return out;
}

struct copy_run {
    int result = -1;
    std::string out;
    std::string err;
    std::string image;
};

// Scripts prompt and echo for `drive`, then `after_echo`, and runs the task.
copy_run run_copy(const std::function<void()>& script, int drive = 8, std::FILE* file = nullptr,
                  int timeout = 2) {
    fake_reset();
    script();
    const bool own_file = file == nullptr;
    if (own_file) file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    serial_port port{};
    copy_run run;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run.result = warp_copy_disk(&port, drive, file, timeout);
    std::fflush(stdout);
    run.out = testing::internal::GetCapturedStdout();
    run.err = testing::internal::GetCapturedStderr();
    if (own_file) {
        run.image = read_all(file);
        std::fclose(file);
    }
    return run;
}

std::function<void()> adapter_sends(const std::string& after_echo, const char* echo = "ws 35 0x8\r\n") {
    return [=] {
        fake_read_bytes("Orvelan adapter\r\n> ");
        fake_read_bytes(echo);
        fake_read_bytes(after_echo);
    };
}

const std::regex SUCCESS("Dumping disk contents\\.\\.\\. succeeded in \\d+\\.\\d\\d seconds\\.\n\n");

std::string checkbyte_error(int packet) {
    return "ERROR: transmission checkbyte does not match expected for packet " + std::to_string(packet) + "-th!\n";
}

std::string missing_warning(int count) {
    return "WARNING: " + std::to_string(count) + " sectors missing from image\n";
}

void expect_image(const std::string& expected, const std::string& actual) {
    if (expected == actual) return;
    std::size_t first = 0;
    while (first < expected.size() && first < actual.size() && expected[first] == actual[first]) ++first;
    const std::size_t from = first / 16 * 16;
    ADD_FAILURE() << "images differ: expected " << expected.size() << " bytes, actual " << actual.size()
                  << ", first difference at " << first << " (track/sector block " << first / 256 << ")\nexpected "
                  << hex_dump(expected.substr(from, 32)) << "\nactual   "
                  << hex_dump(actual.substr(std::min(from, actual.size()), 32));
}

// ---- Streams that reach the end of track 35.

struct complete_case {
    const char* name;
    std::function<void(packet_stream*)> change;  // applied to the clean stream
    std::string err;
    std::set<sector_id> missing;
    std::vector<std::pair<sector_id, sector_id>> replaced;  // sector holds the data of another pattern
};

void PrintTo(const complete_case& c, std::ostream* os) { *os << c.name; }

class CompleteCopy : public testing::TestWithParam<complete_case> {};

TEST_P(CompleteCopy, MessagesAndImage) {
    const complete_case& c = GetParam();
    packet_stream s = clean_stream();
    c.change(&s);
    const copy_run run = run_copy(adapter_sends(serialize(s)));
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(std::regex_match(run.out, SUCCESS)) << run.out;
    EXPECT_EQ(run.err, c.err);
    std::string expected = image_without(c.missing);
    for (const auto& [where, pattern_of] : c.replaced)
        expected.replace(static_cast<std::size_t>(builder::image_offset(where.first, where.second)), 256,
                         sector_bytes(pattern_of.first, pattern_of.second));
    EXPECT_EQ(run.image.size(), 174848u);
    expect_image(expected, run.image);
}

// The sector number carried by the packet at `index`.
int sector_at(const packet_stream& s, std::size_t index) { return s[index].spec.sector; }

packet_stream reference = clean_stream();

INSTANTIATE_TEST_SUITE_P(
    Streams, CompleteCopy,
    testing::Values(
        complete_case{"clean_disk", [](packet_stream*) {}, "", {}, {}},
        complete_case{"third_packet_rejected",
                      [](packet_stream* s) { (*s)[2].corrupt = true; },
                      checkbyte_error(3) + missing_warning(1), {{1, sector_at(reference, 2)}}, {}},
        complete_case{"retries_exhausted_on_track_7",
                      [](packet_stream* s) {
                          // Ten sectors, then the drive gives up on the track.
                          const std::size_t first = at(*s, 7, 0);
                          s->erase(s->begin() + static_cast<long>(first) + 10, s->begin() + static_cast<long>(at(*s, 7, -1)) + 1);
                          s->insert(s->begin() + static_cast<long>(first) + 10, retries_packet(7));
                      },
                      "WARNING: Sector retries exhausted for track 7\n" + missing_warning(11),
                      [] {
                          std::set<sector_id> m;
                          for (std::size_t k = 10; k < 21; ++k) m.insert({7, sector_at(reference, at(reference, 7, static_cast<int>(k)))});
                          return m;
                      }(),
                      {}},
        complete_case{"retries_exhausted_ends_track_35",
                      [](packet_stream* s) {
                          s->erase(s->begin() + static_cast<long>(at(*s, 35, 0)), s->end());
                          s->push_back(retries_packet(35));
                      },
                      "WARNING: Sector retries exhausted for track 35\n" + missing_warning(17),
                      [] {
                          std::set<sector_id> m;
                          for (int sec = 0; sec < 17; ++sec) m.insert({35, sec});
                          return m;
                      }(),
                      {}},
        complete_case{"invalid_sector_code",
                      [](packet_stream* s) { (*s)[at(*s, 3, 4)].spec.sector_code_override = 0x00; },
                      "ERROR: illegal GCR value for sector\nERROR: illegal value for sector on current track\n" +
                          missing_warning(1),
                      {{3, sector_at(reference, at(reference, 3, 4))}}, {}},
        complete_case{"sector_out_of_range_on_last_packet",
                      [](packet_stream* s) {
                          stream_item& last = (*s)[at(*s, 25, -1)];
                          last.spec.sector = 18;  // valid code, beyond track 25's 18 sectors
                      },
                      "ERROR: illegal value for sector on current track\n" + missing_warning(1),
                      {{25, sector_at(reference, at(reference, 25, -1))}}, {}},
        complete_case{"duplicate_later_data_stand",
                      [](packet_stream* s) {
                          // A second copy of track 12's third sector, with other data, before the last.
                          stream_item dup = (*s)[at(*s, 12, 2)];
                          dup.spec.data = builder::pattern(99, 1);
                          s->insert(s->begin() + static_cast<long>(at(*s, 12, -1)), dup);
                      },
                      "", {}, {{{12, sector_at(reference, at(reference, 12, 2))}, {99, 1}}}},
        complete_case{"duplicates_on_many_tracks_count_by_marks_only",
                      [](packet_stream* s) {
                          for (int track : {1, 17, 18, 30, 35}) {
                              stream_item dup = (*s)[at(*s, track, 0)];
                              s->insert(s->begin() + static_cast<long>(at(*s, track, 1)), dup);
                          }
                      },
                      "", {}, {}},
        complete_case{"rejected_last_packet_of_track_5",
                      [](packet_stream* s) { (*s)[at(*s, 5, -1)].corrupt = true; },
                      checkbyte_error(105) + missing_warning(1), {{5, sector_at(reference, at(reference, 5, -1))}}, {}},
        complete_case{"rejected_last_packets_of_tracks_17_and_18",
                      [](packet_stream* s) {
                          (*s)[at(*s, 17, -1)].corrupt = true;
                          (*s)[at(*s, 18, -1)].corrupt = true;
                      },
                      checkbyte_error(357) + checkbyte_error(376) + missing_warning(2),
                      {{17, sector_at(reference, at(reference, 17, -1))}, {18, sector_at(reference, at(reference, 18, -1))}},
                      {}},
        complete_case{"rejected_middle_and_last_of_track_24",
                      [](packet_stream* s) {
                          (*s)[at(*s, 24, 3)].corrupt = true;
                          (*s)[at(*s, 24, -1)].corrupt = true;
                      },
                      checkbyte_error(475) + checkbyte_error(490) + missing_warning(2),
                      {{24, sector_at(reference, at(reference, 24, 3))}, {24, sector_at(reference, at(reference, 24, -1))}},
                      {}},
        complete_case{"rejected_last_packet_of_track_35",
                      [](packet_stream* s) { s->back().corrupt = true; },
                      checkbyte_error(683) + missing_warning(1), {{35, sector_at(reference, reference.size() - 1)}}, {}},
        complete_case{"rejected_last_after_a_duplicate",
                      [](packet_stream* s) {
                          stream_item dup = (*s)[at(*s, 9, 0)];
                          s->insert(s->begin() + static_cast<long>(at(*s, 9, 5)), dup);
                          (*s)[at(*s, 9, -1)].corrupt = true;
                      },
                      checkbyte_error(190) + missing_warning(1), {{9, sector_at(reference, at(reference, 9, -1))}}, {}},
        complete_case{"rejected_duplicate_then_marked_last",
                      [](packet_stream* s) {
                          // The rejected packet was a copy: every sector of track 9
                          // arrives, the marked last one after the count seemed full.
                          stream_item dup = (*s)[at(*s, 9, 0)];
                          dup.corrupt = true;
                          s->insert(s->begin() + static_cast<long>(at(*s, 9, 5)), dup);
                      },
                      checkbyte_error(174), {}, {}},
        complete_case{"rejected_retries_packet_neighbour",
                      [](packet_stream* s) {
                          // A rejected packet in a track the drive then gives up on.
                          const std::size_t first = at(*s, 30, 0);
                          (*s)[first + 1].corrupt = true;
                          s->erase(s->begin() + static_cast<long>(first) + 6, s->begin() + static_cast<long>(at(*s, 30, -1)) + 1);
                          s->insert(s->begin() + static_cast<long>(first) + 6, retries_packet(30));
                      },
                      checkbyte_error(582) + "WARNING: Sector retries exhausted for track 30\n" + missing_warning(13),
                      [] {
                          std::set<sector_id> m;
                          const std::size_t first = at(reference, 30, 0);
                          m.insert({30, sector_at(reference, first + 1)});
                          for (std::size_t k = 6; k < 18; ++k) m.insert({30, sector_at(reference, first + k)});
                          return m;
                      }(),
                      {}}),
    [](const testing::TestParamInfo<complete_case>& p) { return std::string(p.param.name); });

TEST(CompleteCopy, FirstBytesAfterTheEchoArePacketBytesEvenWhenTheyReadOK) {
    packet_stream s = clean_stream();
    std::string stream = serialize(s);
    // Make the first packet begin with "OK" and keep its check byte right.
    unsigned char check = static_cast<unsigned char>(stream[323]);
    check = static_cast<unsigned char>(check ^ static_cast<unsigned char>(stream[0]) ^ 'O');
    check = static_cast<unsigned char>(check ^ static_cast<unsigned char>(stream[1]) ^ 'K');
    stream[0] = 'O';
    stream[1] = 'K';
    stream[323] = static_cast<char>(check);
    const copy_run run = run_copy(adapter_sends(stream));
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.err, "");
    // Only the first GCR group (data bytes 0-3) of that sector can change.
    std::string expected = image_without({});
    const std::size_t first = static_cast<std::size_t>(builder::image_offset(1, s[0].spec.sector));
    expected.replace(first, 4, run.image.substr(first, 4));
    expect_image(expected, run.image);
}

// ---- Runs that end early, and the conversation before the stream.

struct early_case {
    const char* name;
    int drive;
    std::function<void()> script;
    int result;
    std::string out;
    std::string err;
    std::string sent;
    std::string image;
};

void PrintTo(const early_case& c, std::ostream* os) { *os << c.name; }

class EarlyEnd : public testing::TestWithParam<early_case> {};

TEST_P(EarlyEnd, ReportsAndKeepsWhatWasStored) {
    const early_case& c = GetParam();
    const copy_run run = run_copy(c.script, c.drive);
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(fake_written(), c.sent) << "expected " << hex_dump(c.sent) << "\nactual   " << hex_dump(fake_written());
    expect_image(c.image, run.image);
}

const std::string stream_ref = serialize(reference);
// Packets up to the middle of track 20.
const std::size_t middle_of_20 = at(reference, 20, 9);

INSTANTIATE_TEST_SUITE_P(
    Cases, EarlyEnd,
    testing::Values(
        early_case{"silent_in_the_middle_of_track_20", 8,
                   adapter_sends(stream_ref.substr(0, middle_of_20 * 324)), 0,
                   "Dumping disk contents... timed out.\n", "", "ws 35 0x8\r", image_of_first(reference, middle_of_20)},
        early_case{"silent_within_a_packet", 8, adapter_sends(stream_ref.substr(0, 5 * 324 + 100)), 0,
                   "Dumping disk contents... timed out.\n", "", "ws 35 0x8\r", image_of_first(reference, 5)},
        early_case{"read_call_fails_on_track_2", 8,
                   [] {
                       adapter_sends(stream_ref.substr(0, 30 * 324))();
                       fake_read_fail("abc");
                   },
                   0, "Dumping disk contents... failed.\n", "", "ws 35 0x8\r", image_of_first(reference, 30)},
        early_case{"drive_9", 9, adapter_sends("", "ws 35 0x9\r\n"), 0, "Dumping disk contents... timed out.\n", "",
                   "ws 35 0x9\r", ""},
        early_case{"drive_11", 11, adapter_sends("", "ws 35 0xb\r\n"), 0, "Dumping disk contents... timed out.\n", "",
                   "ws 35 0xb\r", ""},
        early_case{"wrong_echo", 8, adapter_sends(stream_ref, "ws 35 0x9\r\n"), 0, "Dumping disk contents... failed.\n",
                   "", "ws 35 0x8\r", ""},
        early_case{"no_prompt", 8, [] { fake_read_bytes("booting..."); }, 0, "",
                   "Timeout synchronizing with device.\n", "", ""},
        early_case{"sync_read_fails", 8, [] { fake_read_fail("x"); }, 0, "", "Error synchronizing with device.\n", "",
                   ""},
        early_case{"prompt_beyond_the_packet_buffer", 8,
                   [] { fake_read_bytes(std::string(330, '.') + "\r\n> "); }, 0, "",
                   "Timeout synchronizing with device.\n", "", ""},
        early_case{"prompt_fills_the_buffer_exactly", 8,
                   [] {
                       fake_read_bytes(std::string(320, '.') + "\r\n> ");
                       fake_read_bytes("ws 35 0x8\r\n");
                   },
                   0, "Dumping disk contents... timed out.\n", "", "ws 35 0x8\r", "" }),
    [](const testing::TestParamInfo<early_case>& p) { return std::string(p.param.name); });

// ---- The image file cannot take the data.

#ifndef _WIN32
TEST(SaveFailure, FullDeviceEndsTheCopyWithStatusFailure) {
    std::FILE* full = std::fopen("/dev/full", "wb+");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    const copy_run run = run_copy(adapter_sends(stream_ref), 8, full);
    std::fclose(full);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "Dumping disk contents... failed.\n");
    EXPECT_EQ(run.err, "ERROR: could not save to file\n");
}

TEST(SaveFailure, WriteOutOnPositioningIsASaveFailure) {
    // With a buffer large enough for the whole image, stdio still writes out
    // what it holds when the next sector is positioned; that failure is the
    // data's, reported as a failed save.
    std::FILE* full = std::fopen("/dev/full", "wb+");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    static char buffer[200000];
    std::setvbuf(full, buffer, _IOFBF, sizeof buffer);
    packet_stream s;
    // Sectors in image order only, so stdio never has to write out to seek.
    for (int t = 1; t <= 35; ++t) {
        const int n = builder::track_sectors(t);
        for (int sec = 0; sec < n; ++sec) {
            stream_item item;
            item.track = t;
            item.spec.sector = sec;
            item.spec.data = builder::pattern(t, sec);
            item.spec.last = sec == n - 1;
            s.push_back(item);
        }
    }
    const copy_run run = run_copy(adapter_sends(serialize(s)), 8, full);
    std::fclose(full);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "Dumping disk contents... failed.\n");
    EXPECT_EQ(run.err, "ERROR: could not save to file\n");
}

TEST(SaveFailure, PaddingThatCannotBeWrittenOutIsReported) {
    // The drive gives up on track 35 after four sectors, so the image ends
    // with zeros the task adds itself. A file size limit 100 bytes short of
    // a whole image lets every sector through and stops the padding, at the
    // latest when it is flushed at the end.
    packet_stream s = clean_stream();
    s.erase(s.begin() + static_cast<long>(at(s, 35, 0)), s.end());
    for (int sector = 0; sector < 4; ++sector) {
        stream_item item;
        item.track = 35;
        item.spec.sector = sector;
        item.spec.data = builder::pattern(35, sector);
        s.push_back(item);
    }
    s.push_back(retries_packet(35));
    long highest = 0;
    for (const stream_item& item : s)
        if (!item.spec.retries_exhausted)
            highest = std::max(highest, builder::image_offset(item.track, item.spec.sector) + 256);
    const long limit = 174848 - 100;
    ASSERT_LT(highest, limit);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = static_cast<rlim_t>(limit);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::FILE* file = std::tmpfile();
    const copy_run run = file ? run_copy(adapter_sends(serialize(s)), 8, file) : copy_run{};
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "Dumping disk contents... failed.\n");
    EXPECT_EQ(run.err, "WARNING: Sector retries exhausted for track 35\nERROR: could not save to file\n");
}
#endif

// ---- The progress display, as a terminal shows it.

// Plays what was written to a terminal: backspace steps left within the
// line, newline starts the next, other characters overwrite. Returns the
// visible text, blanks at the end of each line dropped as a screen shows them.
std::string screen_line(const std::string& written) {
    std::vector<std::string> lines(1);
    std::size_t cursor = 0;
    for (char ch : written) {
        std::string& line = lines.back();
        if (ch == '\b') {
            if (cursor > 0) --cursor;
        } else if (ch == '\n') {
            lines.emplace_back();
            cursor = 0;
        } else {
            if (cursor < line.size())
                line[cursor] = ch;
            else
                line += ch;
            ++cursor;
        }
    }
    std::string screen;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        while (!line.empty() && line.back() == ' ') line.pop_back();
        screen += line + (i + 1 < lines.size() ? "\n" : "");
    }
    return screen;
}

struct display_case {
    const char* name;
    int track;
    std::uint32_t seen;
    int stored;
    const char* shown;
};

void PrintTo(const display_case& c, std::ostream* os) { *os << c.name; }

class ProgressDisplay : public testing::TestWithParam<display_case> {};

TEST_P(ProgressDisplay, DrawsAndErasesWithoutTrace) {
    const display_case& c = GetParam();
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fputs("Dumping disk contents... ", f);
    progress_display display{f, 0};
    progress_draw(&display, 1, 0x1FFFFF, 683);  // a longer display first
    progress_draw(&display, c.track, c.seen, c.stored);
    const std::string drawn = read_all(f);
    EXPECT_EQ(screen_line(drawn), std::string("Dumping disk contents... ") + c.shown);
    std::fseek(f, 0, SEEK_END);
    progress_erase(&display);
    std::fputs("timed out.\n", f);
    EXPECT_EQ(screen_line(read_all(f)), "Dumping disk contents... timed out.\n");
    std::fclose(f);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ProgressDisplay,
    testing::Values(display_case{"start", 1, 0, 0, "track  1/35 [.....................]   0%"},
                    display_case{"some_of_track_18", 18, 0x5, 360, "track 18/35 [#.#................]  52%"},
                    display_case{"last_track_full", 35, 0x1FFFF, 683, "track 35/35 [#################] 100%"}),
    [](const testing::TestParamInfo<display_case>& p) { return std::string(p.param.name); });

TEST(ProgressDisplay, NothingWithoutATerminal) {
    progress_display display{};
    progress_draw(&display, 3, 0xFF, 10);  // must not touch a null stream
    progress_erase(&display);
    EXPECT_EQ(display.shown, 0);
}

}  // namespace
