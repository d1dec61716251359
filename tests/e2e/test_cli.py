"""The command line: help screen, option validation, the task chosen, and the
port handling, seen from outside with the stand-in adapter."""

import os
import re
import shutil
import tempfile
import time
import unittest

import harness
from harness import E2ETestCase, Sim, finish_tool, run_tool, start_tool

PORT = object()  # stands for the simulator's port in an argument list
FAST = ("--delay", "5")


def help_pattern(default_drive):
    """The whole help screen; the credit and icon lines are free text."""
    free = r"   \S.*"
    lines = [
        re.escape("Firmware version included: v2.4.0.0.0"),
        "", re.escape("Drive code acknowledgements:"), free, free,
        "", re.escape("Icons:"), free,
        "", re.escape("Usage:"), r"   \S.* \[options\] <task> <communication port>",
        "", re.escape("Options:"),
        re.escape("   -d <drive number>: Select drive number (defaults to %d)" % default_drive),
        re.escape("   -e: Escape control codes in directory listings"),
        re.escape("   -t <timeout>: Task idle timeout in seconds"),
        "", re.escape("Disk tasks:"),
        re.escape('   -c "<command>": Execute disk command (don\'t use for "uj:", use -r instead)'),
        re.escape("   -f: Fast format disk (35 tracks)"),
        re.escape('   -i: Initialize drive (short for -c "i0")'),
        re.escape("   -l: List disk directory"),
        re.escape("   -r: Reset drive (soft)"),
        re.escape("   -s: Query error channel/status"),
        re.escape('   -v: Validate disk (short for -c "v0")'),
        re.escape('   -w: "<filename>": Warpcopy DOS disk contents to a 35-track D64 file'),
        "", re.escape("Admin tasks:"),
        re.escape("   -u <bootloader port>: Update the Orvelan firmware"),
        "", re.escape("Examples:"),
        r"   \S.* -d 9 -l COM6",
    ]
    return r"\A" + r"\n".join(lines) + r"\n\Z"


def with_port(args, port):
    return [port if a is PORT else a for a in args]


class HelpScreen(E2ETestCase):
    CASES = [
        # args (PORT: the simulator's port), default drive the help must name
        ([], 8),
        (["-l"], 8),
        ([PORT], 8),
        (["-s", "-e"], 8),
        (["-l", PORT, "-e"], 8),
        (["-l", PORT, "-d", "12"], 8),  # the scan ends at the port; 12 is never read
        (["-d", "9"], 9),
        (["-d", "11", "-d", "x"], 11),
        (["-i", "-c"], 8),  # an option's argument missing at the end
        (["-i", "-t"], 8),
        (["-d", "9", "-i", "-w"], 9),
        (["-i", PORT, PORT], 8),
    ]

    def test_help_screen(self):
        for args, drive in self.CASES:
            with self.subTest(args=["PORT" if a is PORT else a for a in args]):
                with Sim(*FAST) as sim:
                    result = run_tool(with_port(args, sim.port))
                self.assertRun(result, 1, stdout="")
                self.assertRegex(result.stderr, help_pattern(drive))
                self.assertEqual(sim.commands, [])

    def test_usage_lines_name_the_program_as_invoked(self):
        if harness.TARGET != "native":
            self.skipTest("the program name as invoked differs under Wine")
        program = harness.tool_command([])[0]
        result = run_tool([])
        self.assertIn("\nUsage:\n   %s [options] <task> <communication port>\n" % program, result.stderr)
        self.assertTrue(result.stderr.endswith("\nExamples:\n   %s -d 9 -l COM6\n" % program),
                        result.stderr)


class Validation(E2ETestCase):
    DRIVE = "Valid drive numbers: 8-11.\n"
    TIMEOUT = "Valid timeout values are positive integers.\n"
    CASES = [
        (["-d", "12", "-l", PORT], DRIVE),
        (["-d", "7", "-i", PORT], DRIVE),
        (["-d", "-8", "-i", PORT], DRIVE),
        (["-i", "-d", "12", PORT], DRIVE),
        (["-t", "0", "-i", PORT], TIMEOUT),
        (["-t", "-3", "-i", PORT], TIMEOUT),
        (["-t", "x", "-l", PORT], TIMEOUT),
        # validation ends the run at the failing option, before a help screen
        (["-t", "0"], TIMEOUT),
        (["-d", "12"], DRIVE),
        # "%d" reads a leading number only
        (["-d", "0x9", "-i", PORT], DRIVE),
        (["-d", "", "-t", "", "-i", PORT], TIMEOUT),
    ]

    def test_refused_without_contacting_the_adapter(self):
        for args, message in self.CASES:
            with self.subTest(args=["PORT" if a is PORT else a for a in args]):
                with Sim(*FAST) as sim:
                    result = run_tool(with_port(args, sim.port))
                self.assertRun(result, 1, stdout="", stderr=message)
                self.assertEqual(sim.commands, [])

    # A timeout whose milliseconds do not fit the 32-bit idle budget: refused
    # (in words of the tool's own) rather than wrapped into a budget that
    # never runs out or runs out at once.
    TOO_LARGE = ["2147484", "99999999999", "4294968"]

    def test_timeout_beyond_the_budget_refused(self):
        for value in self.TOO_LARGE:
            with self.subTest(timeout=value):
                with Sim(*FAST) as sim:
                    result = run_tool(["-t", value, "-i", sim.port], timeout=10)
                self.assertRun(result, 1, stdout="")
                self.assertIn("Valid timeout values are positive integers", result.stderr)
                self.assertNotIn("Usage:", result.stderr)
                self.assertEqual(sim.commands, [])


class TaskChoice(E2ETestCase):
    CASES = [
        # args, line the adapter must receive
        (["-x", "-l", PORT], 'dd "$" 0x8'),
        (["-L", "-l", PORT], 'dd "$" 0x8'),
        (["-", "-l", PORT], 'dd "$" 0x8'),
        (["--", "-l", PORT], 'dd "$" 0x8'),
        (["-list", PORT], 'dd "$" 0x8'),
        (["-d", "x", "-i", PORT], "di 0x8"),
        (["-d", "10", "-d", "x", "-i", PORT], "di 0xa"),
        (["-d", " 10", "-i", PORT], "di 0xa"),
        (["-d", "+9", "-i", PORT], "di 0x9"),
        (["-d", "9abc", "-i", PORT], "di 0x9"),
        (["-t", " 1", "-d", "11", "-i", PORT], "di 0xb"),
        (["-l", "-f", PORT], "ff 0x8"),
        (["-f", "-i", PORT], "di 0x8"),
        (["-c", "-l", PORT], 'dc "-L" 0x8'),
        (["-c", "uj", "-r", PORT], "rs 0x8"),
        (["-r", "-c", "uj", PORT], 'dc "UJ" 0x8'),
        (["-i", "-dfoo", "9", PORT], "di 0x9"),
        (["-e", "-i", PORT], "di 0x8"),
    ]

    def test_task_and_drive_chosen(self):
        for args, line in self.CASES:
            with self.subTest(args=["PORT" if a is PORT else a for a in args]):
                with Sim(*FAST) as sim:
                    result = run_tool(with_port(args, sim.port), timeout=30)
                self.after_banner(result)
                self.assertEqual(sim.commands, [line], repr(result))

    def test_second_timeout_without_number_keeps_the_first(self):
        # -t 1 -t x: the budget stays 1 s, not the format's 25 s, and no error.
        with Sim("--no-prompt") as sim:
            result = run_tool(["-t", "1", "-t", "x", "-f"], sim.port)
        self.assertRun(result, 1, stdout="", stderr="Timeout synchronizing with device.\n")
        self.assertLess(result.elapsed, 3.0, repr(result))

    def test_copy_file_untouched_when_another_task_wins(self):
        workdir = tempfile.mkdtemp(prefix="orvelan-cli-")
        try:
            with Sim(*FAST) as sim:
                result = run_tool(["-w", "out.d64", "-i"], sim.port, cwd=workdir)
            self.assertRun(result, 0)
            self.assertEqual(sim.commands, ["di 0x8"])
            self.assertEqual(os.listdir(workdir), [])
        finally:
            shutil.rmtree(workdir)


class DiskCommandLength(E2ETestCase):
    def test_longest_command_goes_out(self):
        text = "s0:" + "a" * 242  # 245 characters: the line and its echo fill 256 bytes
        with Sim(*FAST) as sim:
            result = run_tool(["-c", text], sim.port)
        self.assertRun(result, 0, stdout_pattern=r"Executing\.\.\. succeeded in \d+\.\d\d seconds\.\n",
                       stderr="")
        self.assertEqual(sim.commands, ['dc "%s" 0x8' % text.swapcase()])

    def test_longer_command_refused_before_sending(self):
        for length in (246, 300, 5000):
            with self.subTest(length=length):
                with Sim(*FAST) as sim:
                    result = run_tool(["-c", "x" * length], sim.port)
                    time.sleep(0.1)  # anything sent would have arrived by now
                self.assertRun(result, 1, stdout="")
                self.assertNotEqual(result.stderr.strip(), "", repr(result))
                self.assertNotIn("Usage:", result.stderr)
                self.assertEqual(sim.commands, [])


class Ports(E2ETestCase):
    def test_missing_port(self):
        workdir = tempfile.mkdtemp(prefix="orvelan-cli-")
        missing = os.path.join(workdir, "no-such-port")
        try:
            for args in (["-i"], ["-l"], ["-w", "out.d64"]):
                with self.subTest(args=args):
                    result = run_tool(args, missing, cwd=workdir)
                    self.assertRun(result, 1, stdout="", stderr="Unable to open port %s.\n" % missing)
                    # a bad port is reported before the file of -w is made
                    self.assertEqual(os.listdir(workdir), [])
        finally:
            shutil.rmtree(workdir)

    def test_port_in_use_by_another_instance(self):
        if harness.TARGET == "wine":
            self.skipTest("Wine does not enforce exclusive opens of serial devices")
        with Sim("--silent-at", "start") as sim:
            first = start_tool(["-t", "5", "-i"], sim.port)
            try:
                # The first instance holds the port once its command arrived.
                self.assertEqual(sim.wait_for_commands(1), ["di 0x8"])
                second = run_tool(["-i"], sim.port)
            finally:
                first.kill()
                finish_tool(first)
            self.assertRun(second, 1, stdout="", stderr="Unable to open port %s.\n" % sim.port)
            self.assertEqual(sim.commands, ["di 0x8"])

    def test_port_free_again_after_a_run(self):
        with Sim(*FAST) as sim:
            runs = [run_tool(["-i"], sim.port) for _ in range(3)]
        for result in runs:
            self.assertRun(result, 0)
        self.assertEqual(sim.commands, ["di 0x8"] * 3)


if __name__ == "__main__":
    unittest.main()
