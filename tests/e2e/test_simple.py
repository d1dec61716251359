"""The simple drive tasks (-c, -f, -i, -r, -v) against the stand-in adapter:
what goes out on the line, the result line, reply codes, time-outs and a
misbehaving adapter."""

import re
import unittest

from harness import E2ETestCase, Sim, run_tool

# Quick drive work so the module stays fast; the clock test sets its own.
FAST = ("--delay", "5")


def success(label):
    return re.escape(label) + r"\.\.\. succeeded in \d+\.\d\d seconds\.\n"


class SimpleTaskSuccess(E2ETestCase):
    CASES = [
        # args, label, line the adapter must receive
        (["-i"], "Initializing", "di 0x8"),
        (["-f"], "Formatting", "ff 0x8"),
        (["-r"], "Resetting", "rs 0x8"),
        (["-v"], "Validating", 'dc "V0" 0x8'),
        (["-c", "v0"], "Executing", 'dc "V0" 0x8'),
        (["-c", "n:Work Disk,w1"], "Executing", 'dc "N:wORK dISK,W1" 0x8'),
        (["-c", "s0:*"], "Executing", 'dc "S0:*" 0x8'),
        (["-d", "8", "-f"], "Formatting", "ff 0x8"),
        (["-d", "9", "-i"], "Initializing", "di 0x9"),
        (["-d", "10", "-i"], "Initializing", "di 0xa"),
        (["-d", "11", "-r"], "Resetting", "rs 0xb"),
        (["-d", "10", "-v"], "Validating", 'dc "V0" 0xa'),
        (["-d", "11", "-c", "i0"], "Executing", 'dc "I0" 0xb'),
    ]

    def test_success_line_and_command_sent(self):
        for args, label, line in self.CASES:
            with self.subTest(args=args):
                with Sim(*FAST) as sim:
                    result = run_tool(args, sim.port)
                self.assertRun(result, 0, stdout_pattern=success(label), stderr="")
                self.assertEqual(sim.commands, [line])

    def test_lines_end_with_cr_alone_and_runs_follow_each_other(self):
        # Each run leaves the prompt after its reply unread; the next run's
        # sync must take it. The simulator notes every LF it had to ignore.
        with Sim(*FAST) as sim:
            first = run_tool(["-i"], sim.port)
            second = run_tool(["-d", "9", "-r"], sim.port)
        self.assertRun(first, 0, stdout_pattern=success("Initializing"))
        self.assertRun(second, 0, stdout_pattern=success("Resetting"))
        self.assertEqual(sim.commands, ["di 0x8", "rs 0x9"])
        self.assertNotIn("ignored LF", sim.stderr)

    def test_elapsed_time_is_the_drive_work(self):
        # The clock runs from the verified echo to the reply.
        with Sim("--delay", "1234") as sim:
            result = run_tool(["-i"], sim.port)
        rest = self.assertRun(result, 0, stdout_pattern=success("Initializing"))
        seconds = float(re.search(r"in (\d+\.\d\d) seconds", rest).group(1))
        self.assertGreaterEqual(seconds, 1.23, rest)
        self.assertLess(seconds, 1.50, rest)


class DeviceReplies(E2ETestCase):
    CASES = [
        ("NP", "device not present."),
        ("NF", "file not found."),
        ("FM", "missing filename."),
        ("ID", "illegal device number."),
        ("KO", "failed."),
        ("TM", "failed."),
        ("NO", "failed."),
    ]

    def test_reply_code_message(self):
        for code, message in self.CASES:
            for args, label in ((["-f"], "Formatting"), (["-c", "v0"], "Executing")):
                with self.subTest(code=code, args=args):
                    with Sim(*FAST, "--reply", code) as sim:
                        result = run_tool(args, sim.port)
                    self.assertRun(result, 1, stdout="%s... %s\n" % (label, message), stderr="")
                    self.assertEqual(len(sim.commands), 1)


class Timeouts(E2ETestCase):
    SYNC_CASES = [
        # sim options, tool args, expected seconds: the default budget of the
        # task, or -t, spent while waiting for a prompt that never comes
        (["--no-prompt"], ["-i"], 2),
        (["--no-prompt"], ["-r"], 1),
        (["--no-prompt"], ["-t", "1", "-f"], 1),
        (["--garbage", "300", "--seed", "5"], ["-t", "1", "-i"], 1),  # fills the 256-byte sync buffer
    ]

    def test_sync_timeout(self):
        for sim_args, args, seconds in self.SYNC_CASES:
            with self.subTest(sim=sim_args, args=args):
                with Sim(*sim_args) as sim:
                    result = run_tool(args, sim.port)
                self.assertRun(result, 1, stdout="", stderr="Timeout synchronizing with device.\n")
                self.assertGreaterEqual(result.elapsed, seconds * 0.9, repr(result))
                self.assertLess(result.elapsed, seconds * 2 + 1, repr(result))
                self.assertEqual(sim.commands, [])

    AFTER_SYNC_CASES = [
        # sim options: the adapter shows its prompt, then stops short
        ["--silent-at", "start"],
        ["--silent-at", "echo"],
        ["--short-echo"],
        ["--silent-at", "reply"],
    ]

    def test_timeout_after_sync(self):
        for sim_args in self.AFTER_SYNC_CASES:
            with self.subTest(sim=sim_args):
                with Sim(*sim_args) as sim:
                    result = run_tool(["-t", "1", "-i"], sim.port)
                self.assertRun(result, 1, stdout="Initializing... timed out.\n", stderr="")
                self.assertGreaterEqual(result.elapsed, 0.9, repr(result))
                self.assertLess(result.elapsed, 3.0, repr(result))

    def test_default_budget_of_the_reply(self):
        # Reset's default of 1 second holds for the wait for the reply too.
        with Sim("--silent-at", "reply") as sim:
            result = run_tool(["-r"], sim.port)
        self.assertRun(result, 1, stdout="Resetting... timed out.\n", stderr="")
        self.assertGreaterEqual(result.elapsed, 0.9, repr(result))
        self.assertLess(result.elapsed, 3.0, repr(result))
        self.assertEqual(sim.commands, ["rs 0x8"])


class MisbehavingAdapter(E2ETestCase):
    def test_wrong_echo_fails_although_the_reply_is_ok(self):
        with Sim(*FAST, "--wrong-echo") as sim:
            result = run_tool(["-t", "5", "-i"], sim.port)
        self.assertRun(result, 1, stdout="Initializing... failed.\n", stderr="")
        self.assertLess(result.elapsed, 2.0, repr(result))
        self.assertEqual(sim.commands, ["di 0x8"])

    SURVIVABLE = [
        ["--split-prompt"],
        ["--garbage", "150", "--seed", "1"],
        ["--garbage", "150", "--seed", "2"],
        ["--garbage", "150", "--seed", "3"],
        ["--garbage", "150", "--seed", "4", "--split-prompt"],
    ]

    def test_noise_before_the_prompt_is_skipped(self):
        for sim_args in self.SURVIVABLE:
            with self.subTest(sim=sim_args):
                with Sim(*FAST, *sim_args) as sim:
                    result = run_tool(["-i"], sim.port)
                self.assertRun(result, 0, stdout_pattern=success("Initializing"), stderr="")
                self.assertEqual(sim.commands, ["di 0x8"])

    HANGUPS = [
        # phase, stdout after the banner, stderr
        ("start", "", "Error synchronizing with device.\n"),
        ("echo", "Initializing... failed.\n", ""),
        ("reply", "Initializing... failed.\n", ""),
    ]

    def test_hangup_fails_at_once(self):
        # A long budget: the failure must come from the hang-up, not from
        # the budget running out.
        for phase, stdout, stderr in self.HANGUPS:
            with self.subTest(phase=phase):
                with Sim("--hangup-at", phase) as sim:
                    result = run_tool(["-t", "20", "-i"], sim.port)
                    self.assertEqual(sim.wait_exit(5), 0)
                self.assertRun(result, 1, stdout=stdout, stderr=stderr)
                self.assertLess(result.elapsed, 5.0, repr(result))


if __name__ == "__main__":
    unittest.main()
