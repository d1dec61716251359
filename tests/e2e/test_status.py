"""The drive status query (-s) against the stand-in adapter: the status text,
what goes out on the line, reply codes and a stream that stops."""

import re
import unittest

from harness import E2ETestCase, Sim, run_tool

FAST = ("--delay", "5")
PROGRESS = r"Fetching drive status\.\.\. "
SUCCESS = PROGRESS + r"succeeded in \d+\.\d\d seconds\.\n\n"

LONGEST = "".join(chr(ord("A") + i % 26) for i in range(255))


class StatusText(E2ETestCase):
    CASES = [
        # simulator arguments, tool arguments, line received, text printed
        ((), [], "de 0x8", "00, OK,00,00"),
        (("--status", "73,CBM DOS V2.6 1541,00,00"), [], "de 0x8", "73,CBM DOS V2.6 1541,00,00"),
        (("--status", "21,READ ERROR,18,00"), ["-d", "9"], "de 0x9", "21,READ ERROR,18,00"),
        ((), ["-d", "10"], "de 0xa", "00, OK,00,00"),
        ((), ["-d", "11"], "de 0xb", "00, OK,00,00"),
        # The escape flag plays no part in the status task.
        ((), ["-e"], "de 0x8", "00, OK,00,00"),
        (("--status", LONGEST), [], "de 0x8", LONGEST),
        # An empty text is a complete answer: success with an empty status line.
        (("--status", ""), [], "de 0x8", ""),
        (("--status", "00, OK,00,00", "--chunk", "1"), [], "de 0x8", "00, OK,00,00"),
        (("--baud", "2000"), [], "de 0x8", "00, OK,00,00"),
    ]

    def test_prints_the_text_below_the_result_line(self):
        for sim_args, tool_args, line, text in self.CASES:
            with self.subTest(sim=sim_args[:2], tool=tool_args):
                with Sim(*FAST, *sim_args) as sim:
                    result = run_tool(tool_args + ["-s"], sim.port)
                self.assertRun(result, 0, stdout_pattern=SUCCESS + re.escape(text) + r"\n", stderr="")
                self.assertEqual(sim.commands, [line])

    def test_runs_follow_each_other(self):
        # Each run leaves the adapter's next prompt unread; the next run syncs on it.
        with Sim(*FAST, "--status", "26,WRITE PROTECT ON,00,00") as sim:
            first = run_tool(["-s"], sim.port)
            second = run_tool(["-d", "9", "-s"], sim.port)
        for result in (first, second):
            self.assertRun(result, 0, stdout_pattern=SUCCESS + r"26,WRITE PROTECT ON,00,00\n")
        self.assertEqual(sim.commands, ["de 0x8", "de 0x9"])


class StatusFaults(E2ETestCase):
    CASES = [
        (("--reply", "NP"), [], PROGRESS + r"device not present\.\n"),
        (("--reply", "ID"), [], PROGRESS + r"illegal device number\.\n"),
        (("--reply", "KO"), [], PROGRESS + r"failed\.\n"),
        (("--silent-at", "reply"), ["-t", "1"], PROGRESS + r"timed out\.\n"),
        # No length byte.
        (("--silent-at", "payload", "--after", "0"), ["-t", "1"], PROGRESS + r"timed out\.\n"),
        # The length byte and part of the text: nothing of it is printed.
        (("--silent-at", "payload", "--after", "5"), ["-t", "1"], PROGRESS + r"timed out\.\n"),
    ]

    def test_fault_message_and_status(self):
        for sim_args, tool_args, pattern in self.CASES:
            with self.subTest(sim=sim_args, tool=tool_args):
                with Sim(*FAST, *sim_args) as sim:
                    result = run_tool(tool_args + ["-s"], sim.port)
                self.assertRun(result, 1, stdout_pattern=pattern, stderr="")
                self.assertEqual(sim.commands, ["de 0x8"])


if __name__ == "__main__":
    unittest.main()
