// The transfer primitives against the scripted fake port: what completes,
// what fails, and what each empty poll costs.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "fake_port.h"
#include "link/transfer.h"

namespace {

using script = std::function<void()>;

std::string bytes_of(const std::uint8_t* buffer, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(buffer), n);
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
    serial_port port{};
    std::uint8_t buffer[64]{};
};

struct exact_case {
    const char* name;
    script reads;
    std::uint32_t capacity;
    std::uint32_t count;
    std::int32_t budget;
    io_result expected;
    std::int32_t budget_after;
    int read_calls;
};

void PrintTo(const exact_case& c, std::ostream* os) { *os << c.name; }

class ReadExact : public TransferTest, public ::testing::WithParamInterface<exact_case> {};

TEST_P(ReadExact, CompletesFailsOrTimesOut) {
    const exact_case& c = GetParam();
    c.reads();
    std::int32_t budget = c.budget;
    EXPECT_EQ(read_exact(&port, buffer, c.capacity, c.count, &budget), c.expected);
    EXPECT_EQ(budget, c.budget_after);
    EXPECT_EQ(fake_stats().read_calls, c.read_calls);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadExact,
    ::testing::Values(
        exact_case{"whole_count_in_one_call", [] { fake_read_bytes("abcd"); }, 64, 4, 10, IO_OK, 10, 1},
        // Pieces arriving with pauses: each empty poll costs a unit, bytes give none back.
        exact_case{"pieces_with_pauses",
                   [] {
                       fake_read_bytes("ab");
                       fake_read_empty(3);
                       fake_read_bytes("c");
                       fake_read_empty(2);
                       fake_read_bytes("d");
                   },
                   64, 4, 10, IO_OK, 5, 8},
        exact_case{"budget_of_one_and_silence", [] {}, 64, 4, 1, IO_TIMED_OUT, 0, 1},
        exact_case{"silence_spends_the_budget", [] { fake_read_bytes("ab"); }, 64, 4, 5, IO_TIMED_OUT, 0, 6},
        exact_case{"count_above_capacity_reads_nothing", [] { fake_read_bytes("abcd"); }, 3, 4, 10,
                   IO_TOO_LARGE, 10, 0},
        exact_case{"count_equal_to_capacity", [] { fake_read_bytes("abcd"); }, 4, 4, 10, IO_OK, 10, 1},
        // Nothing to wait for: a zero count is complete at once.
        exact_case{"zero_count_completes_at_once", [] {}, 64, 0, 10, IO_OK, 10, 0},
        exact_case{"failed_call_with_bytes", [] { fake_read_fail("ab"); }, 64, 4, 10, IO_FAILED, 10, 1},
        exact_case{"failed_call_without_bytes_costs_a_unit", [] { fake_read_fail(); }, 64, 4, 10,
                   IO_FAILED, 9, 1},
        // The failure wins over the time-out when both happen on the same call.
        exact_case{"failed_empty_call_on_last_unit", [] { fake_read_fail(); }, 64, 4, 1, IO_FAILED, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, ReadExactAsksOnlyForWhatIsMissing) {
    fake_read_bytes("ab");
    fake_read_bytes("cdef");
    std::int32_t budget = 10;
    ASSERT_EQ(read_exact(&port, buffer, 64, 6, &budget), IO_OK);
    EXPECT_EQ(bytes_of(buffer, 6), "abcdef");
    ASSERT_EQ(fake_stats().read_requests.size(), 2u);
    EXPECT_EQ(fake_stats().read_requests[0], 6u);
    EXPECT_EQ(fake_stats().read_requests[1], 4u);
}

struct prompt_case {
    const char* name;
    script reads;
    std::uint32_t capacity;
    std::int32_t budget;
    io_result expected;
    std::string received;  // what the buffer must start with
};

void PrintTo(const prompt_case& c, std::ostream* os) { *os << c.name; }

class ReadUntilPrompt : public TransferTest, public ::testing::WithParamInterface<prompt_case> {};

TEST_P(ReadUntilPrompt, StopsOnlyWhenThePromptEndsWhatArrived) {
    const prompt_case& c = GetParam();
    c.reads();
    std::int32_t budget = c.budget;
    EXPECT_EQ(read_until_prompt(&port, buffer, c.capacity, &budget), c.expected);
    EXPECT_EQ(bytes_of(buffer, c.received.size()), c.received)
        << "expected:\n" << hex_dump(c.received) << "\nactual:\n" << hex_dump(bytes_of(buffer, c.received.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadUntilPrompt,
    ::testing::Values(
        prompt_case{"greeting_and_prompt", [] { fake_read_bytes("Hello\r\n> "); }, 64, 10, IO_OK, "Hello\r\n> "},
        prompt_case{"prompt_alone", [] { fake_read_bytes("\r\n> "); }, 64, 10, IO_OK, "\r\n> "},
        prompt_case{"prompt_split_over_reads",
                    [] {
                        fake_read_bytes("x\r");
                        fake_read_empty();
                        fake_read_bytes("\n>");
                        fake_read_bytes(" ");
                    },
                    64, 10, IO_OK, "x\r\n> "},
        // A prompt followed by more bytes in the same read is not the end;
        // only a later read that again ends in the prompt is.
        prompt_case{"prompt_then_more_in_one_read", [] { fake_read_bytes("\r\n> junk"); }, 64, 5, IO_TIMED_OUT,
                    "\r\n> junk"},
        prompt_case{"prompt_then_more_then_prompt",
                    [] {
                        fake_read_bytes("\r\n> junk");
                        fake_read_bytes("\r\n> ");
                    },
                    64, 5, IO_OK, "\r\n> junk\r\n> "},
        prompt_case{"no_prompt", [] { fake_read_bytes("\r\n>"); }, 64, 3, IO_TIMED_OUT, "\r\n>"},
        prompt_case{"three_bytes_never_match", [] { fake_read_bytes("\n> "); }, 64, 3, IO_TIMED_OUT, "\n> "},
        // The buffer fills without the prompt: every later poll asks for
        // nothing, moves nothing and costs a unit.
        prompt_case{"buffer_full_without_prompt", [] { fake_read_bytes("0123456789\r\n> "); }, 8, 4,
                    IO_TIMED_OUT, "01234567"},
        prompt_case{"prompt_exactly_fills_buffer", [] { fake_read_bytes("ab\r\n> "); }, 6, 4, IO_OK, "ab\r\n> "},
        prompt_case{"failed_call", [] { fake_read_fail("ab"); }, 64, 4, IO_FAILED, "ab"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, FullBufferPollsForNothingUntilTheBudgetIsSpent) {
    fake_read_bytes("0123456789");
    std::int32_t budget = 4;
    EXPECT_EQ(read_until_prompt(&port, buffer, 8, &budget), IO_TIMED_OUT);
    EXPECT_EQ(budget, 0);
    const auto& requests = fake_stats().read_requests;
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0], 8u);
    for (std::size_t i = 1; i < requests.size(); ++i) EXPECT_EQ(requests[i], 0u) << "poll " << i;
}

struct reply_case {
    const char* name;
    script reads;
    std::uint32_t capacity;
    io_result expected;
    std::string first_two;
};

void PrintTo(const reply_case& c, std::ostream* os) { *os << c.name; }

class ReadOk : public TransferTest, public ::testing::WithParamInterface<reply_case> {};

TEST_P(ReadOk, TellsOkFromStatusCodes) {
    const reply_case& c = GetParam();
    c.reads();
    std::int32_t budget = 5;
    EXPECT_EQ(read_ok(&port, buffer, c.capacity, &budget), c.expected);
    EXPECT_EQ(bytes_of(buffer, c.first_two.size()), c.first_two);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadOk,
    ::testing::Values(reply_case{"ok", [] { fake_read_bytes("OK"); }, 256, IO_OK, "OK"},
                      reply_case{"ok_in_two_pieces",
                                 [] {
                                     fake_read_bytes("O");
                                     fake_read_empty();
                                     fake_read_bytes("K");
                                 },
                                 256, IO_OK, "OK"},
                      reply_case{"not_found", [] { fake_read_bytes("NF"); }, 256, IO_FAILED, "NF"},
                      reply_case{"lower_case_ok_is_not_ok", [] { fake_read_bytes("ok"); }, 256, IO_FAILED, "ok"},
                      reply_case{"one_byte_then_silence", [] { fake_read_bytes("O"); }, 256, IO_TIMED_OUT, "O"},
                      reply_case{"capacity_below_two", [] { fake_read_bytes("OK"); }, 1, IO_TOO_LARGE, ""},
                      reply_case{"capacity_two", [] { fake_read_bytes("OK"); }, 2, IO_OK, "OK"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, ReadOkLeavesFollowingBytesUnread) {
    fake_read_bytes("OK\r\n> ");
    std::int32_t budget = 5;
    EXPECT_EQ(read_ok(&port, buffer, 256, &budget), IO_OK);
    EXPECT_EQ(fake_unread(), 4u);
}

struct send_case {
    const char* name;
    const char* line;
    script writes;
    script reads;
    std::uint32_t capacity;
    std::int32_t budget;
    io_result expected;
    std::string sent;
    std::int32_t budget_after;
};

void PrintTo(const send_case& c, std::ostream* os) { *os << c.name; }

class SendCommand : public TransferTest, public ::testing::WithParamInterface<send_case> {};

TEST_P(SendCommand, SendsWithoutLfAndChecksTheWholeEcho) {
    const send_case& c = GetParam();
    c.writes();
    c.reads();
    std::int32_t budget = c.budget;
    EXPECT_EQ(send_command(&port, buffer, c.capacity, c.line, &budget), c.expected);
    EXPECT_EQ(fake_written(), c.sent) << "expected:\n" << hex_dump(c.sent) << "\nactual:\n" << hex_dump(fake_written());
    EXPECT_EQ(budget, c.budget_after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SendCommand,
    ::testing::Values(
        send_case{"echo_matches", "di 0xa\r\n", [] {}, [] { fake_read_bytes("di 0xa\r\n"); }, 256, 10, IO_OK,
                  "di 0xa\r", 10},
        send_case{"echo_in_pieces", "rs 0xb\r\n", [] {},
                  [] {
                      fake_read_bytes("rs ");
                      fake_read_empty(2);
                      fake_read_bytes("0xb\r\n");
                  },
                  256, 10, IO_OK, "rs 0xb\r", 8},
        send_case{"echo_differs_in_one_byte", "di 0x8\r\n", [] {}, [] { fake_read_bytes("di 0x9\r\n"); }, 256,
                  10, IO_FAILED, "di 0x8\r", 10},
        // The adapter answers CR with CR LF; an echo ending in CR CR is wrong.
        send_case{"echo_without_lf", "di 0x8\r\n", [] {}, [] { fake_read_bytes("di 0x8\r\r"); }, 256, 10,
                  IO_FAILED, "di 0x8\r", 10},
        send_case{"echo_cut_short", "di 0x8\r\n", [] {}, [] { fake_read_bytes("di 0x"); }, 256, 10,
                  IO_TIMED_OUT, "di 0x8\r", 0},
        send_case{"partial_writes_cost_nothing", "ff 0x8\r\n",
                  [] {
                      fake_write_limit(2);
                      fake_write_limit(1);
                      fake_write_limit(3);
                  },
                  [] { fake_read_bytes("ff 0x8\r\n"); }, 256, 10, IO_OK, "ff 0x8\r", 10},
        send_case{"stalled_write_costs_a_unit", "ff 0x8\r\n",
                  [] {
                      fake_write_limit(0);
                      fake_write_limit(0);
                  },
                  [] { fake_read_bytes("ff 0x8\r\n"); }, 256, 10, IO_OK, "ff 0x8\r", 8},
        send_case{"write_never_moves", "ff 0x8\r\n",
                  [] {
                      for (int i = 0; i < 3; ++i) fake_write_limit(0);
                  },
                  [] {}, 256, 3, IO_TIMED_OUT, "", 0},
        send_case{"write_fails", "ff 0x8\r\n", [] { fake_write_fail(); }, [] { fake_read_bytes("ff 0x8\r\n"); },
                  256, 10, IO_FAILED, "", 9},
        // The line goes out whole, then its echo cannot be held.
        send_case{"line_longer_than_capacity", "dc \"V0\" 0x8\r\n", [] {},
                  [] { fake_read_bytes("dc \"V0\" 0x8\r\n"); }, 8, 10, IO_TOO_LARGE, "dc \"V0\" 0x8\r", 10},
        send_case{"line_exactly_capacity", "di 0x8\r\n", [] {}, [] { fake_read_bytes("di 0x8\r\n"); }, 8, 10,
                  IO_OK, "di 0x8\r", 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, WriteLineMakesOneCallEvenWhenTheBudgetIsOne) {
    fake_write_limit(0);
    std::int32_t budget = 1;
    EXPECT_EQ(write_line(&port, "j\r\n", &budget), IO_TIMED_OUT);
    EXPECT_EQ(fake_stats().write_calls, 1);
    fake_reset();
    budget = 1;
    EXPECT_EQ(write_line(&port, "j\r\n", &budget), IO_OK);
    EXPECT_EQ(fake_written(), "j\r");
}

TEST_F(TransferTest, OneBudgetIsSharedAcrossPrimitives) {
    fake_read_bytes("\r\n> ");
    fake_read_empty(3);
    fake_read_bytes("di 0x8\r\n");
    fake_read_empty(4);
    std::int32_t budget = 6;
    EXPECT_EQ(read_until_prompt(&port, buffer, 64, &budget), IO_OK);
    EXPECT_EQ(send_command(&port, buffer, 64, "di 0x8\r\n", &budget), IO_OK);
    EXPECT_EQ(budget, 3);
    EXPECT_EQ(read_ok(&port, buffer, 64, &budget), IO_TIMED_OUT);
    EXPECT_EQ(budget, 0);
}

}  // namespace
