"""The disk copy (-w) against the stand-in adapter serving the sample disk:
a clean copy byte for byte, every fault of the stream with its messages in
order and the image left behind, an image file that cannot be written, and
the live progress display on a terminal."""

import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from harness import E2ETestCase, Sim, run_tool, tool_command

SAMPLE = os.path.join(harness.SOURCE, "samples", "sample.d64")
IMAGE_SIZE = 174848
PACKET = 324
SUCCESS = r"Dumping disk contents\.\.\. succeeded in \d+\.\d\d seconds\.\n\n"


def sectors_on(track):
    return 21 if track <= 17 else 19 if track <= 24 else 18 if track <= 30 else 17


def sector_places():
    """(track, sector, offset) of every sector of the image, in image order."""
    places, offset = [], 0
    for track in range(1, 36):
        for sector in range(sectors_on(track)):
            places.append((track, sector, offset))
            offset += 256
    return places


def last_packet_of(track):
    """Packet number of a track's last packet in a clean stream."""
    return sum(sectors_on(t) for t in range(1, track + 1))


def missing_warning(count):
    return "WARNING: %d sectors missing from image\n" % count


def checkbyte_error(packet):
    return "ERROR: transmission checkbyte does not match expected for packet %d-th!\n" % packet


def host_path(path):
    """An absolute file name as the tool under test takes it."""
    if harness.TARGET == "wine":
        return "Z:" + path.replace("/", "\\")
    return path


class CopyCase(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        with open(SAMPLE, "rb") as f:
            cls.source = f.read()
        assert len(cls.source) == IMAGE_SIZE

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="orvelan-copy-")
        self.addCleanup(shutil.rmtree, self.workdir, True)

    def copy(self, sim_args=(), tool_args=()):
        """Runs -w copy.d64 against a simulator serving the sample disk;
        returns the tool's result, the simulator and the file's bytes."""
        with Sim("--disk", SAMPLE, *sim_args) as sim:
            result = run_tool(list(tool_args) + ["-w", "copy.d64"], sim.port, cwd=self.workdir)
        path = os.path.join(self.workdir, "copy.d64")
        with open(path, "rb") as f:
            image = f.read()
        return result, sim, image

    def assertImageWithGaps(self, image, gaps):
        """`image` is the sample disk except for whole sectors that read as
        zeros, `gaps` of them on each listed track: nothing misplaced,
        nothing else missing."""
        self.assertEqual(len(image), IMAGE_SIZE)
        found = {}
        for track, sector, offset in sector_places():
            got = image[offset:offset + 256]
            if got == self.source[offset:offset + 256]:
                continue
            if got != bytes(256):
                self.fail("track %d sector %d holds other data\n%s" % (
                    track, sector, harness.bytes_diff(self.source[offset:offset + 256], got)))
            found[track] = found.get(track, 0) + 1
        self.assertEqual(found, gaps)

    def assertPartialImage(self, image, full_tracks, sectors_of_next):
        """What a copy that stopped leaves: the first `full_tracks` tracks
        whole, `sectors_of_next` sectors of the next one, and nothing after
        the highest sector stored."""
        places = sector_places()
        stored_next = 0
        for track, sector, offset in places:
            got = image[offset:offset + 256]
            if track <= full_tracks:
                self.assertBytesEqual(self.source[offset:offset + 256], got,
                                      "track %d sector %d" % (track, sector))
            elif track == full_tracks + 1:
                if got == self.source[offset:offset + 256]:
                    stored_next += 1
                else:
                    self.assertIn(got, (b"", bytes(256)), "track %d sector %d" % (track, sector))
            else:
                self.assertEqual(got, b"", "nothing stored beyond track %d" % (full_tracks + 1))
        self.assertEqual(stored_next, sectors_of_next)
        self.assertEqual(len(image) % 256, 0)


class CleanCopy(CopyCase):
    def test_sample_disk_copied_byte_for_byte(self):
        result, sim, image = self.copy()
        self.assertRun(result, 0, stdout_pattern=SUCCESS, stderr="")
        self.assertEqual(sim.commands, ["ws 35 0x8"])
        self.assertBytesEqual(self.source, image, "copy of the sample disk")

    def test_drive_number_goes_out_in_hex(self):
        for drive, line in (("9", "ws 35 0x9"), ("11", "ws 35 0xb")):
            with self.subTest(drive=drive):
                result, sim, image = self.copy(tool_args=["-d", drive])
                self.assertRun(result, 0, stdout_pattern=SUCCESS, stderr="")
                self.assertEqual(sim.commands, [line])
                self.assertBytesEqual(self.source, image)

    def test_existing_file_is_overwritten(self):
        with open(os.path.join(self.workdir, "copy.d64"), "wb") as f:
            f.write(b"\xAA" * (IMAGE_SIZE + 5000))
        result, _, image = self.copy()
        self.assertRun(result, 0, stdout_pattern=SUCCESS, stderr="")
        self.assertBytesEqual(self.source, image)

    def test_paced_stream_at_a_real_line_rate(self):
        # 921600 baud: the whole stream takes about 2.4 s of line time.
        result, _, image = self.copy(sim_args=["--baud", "921600"])
        self.assertRun(result, 0, stdout_pattern=SUCCESS, stderr="")
        self.assertBytesEqual(self.source, image)


class StreamFaults(CopyCase):
    CASES = [
        # name, --ws-fault switches, stderr, zeroed sectors per track
        ("third packet rejected", ["bad-check:3"],
         checkbyte_error(3) + missing_warning(1), {1: 1}),
        ("last packet of track 1 rejected", ["bad-check:%d" % last_packet_of(1)],
         checkbyte_error(21) + missing_warning(1), {1: 1}),
        ("last packets of tracks 17 and 18 rejected",
         ["bad-check:%d,%d" % (last_packet_of(17), last_packet_of(18))],
         checkbyte_error(357) + checkbyte_error(376) + missing_warning(2), {17: 1, 18: 1}),
        ("last packet of the disk rejected", ["bad-check:683"],
         checkbyte_error(683) + missing_warning(1), {35: 1}),
        ("retries exhausted on track 7", ["retries:7"],
         "WARNING: Sector retries exhausted for track 7\n" + missing_warning(11), {7: 11}),
        ("retries exhausted on track 35", ["retries:35"],
         "WARNING: Sector retries exhausted for track 35\n" + missing_warning(9), {35: 9}),
        ("invalid sector code", ["bad-code:5"],
         "ERROR: illegal GCR value for sector\n"
         "ERROR: illegal value for sector on current track\n" + missing_warning(1), {1: 1}),
        ("sector out of range", ["out-of-range:400"],
         "ERROR: illegal value for sector on current track\n" + missing_warning(1), {20: 1}),
        ("duplicate sector", ["duplicate:50"], "", {}),
        ("duplicate of a last packet", ["duplicate:%d" % last_packet_of(12)], "", {}),
        ("rejected last packet after a duplicate",
         ["duplicate:30", "bad-check:%d" % (last_packet_of(2) + 1)],
         checkbyte_error(43) + missing_warning(1), {2: 1}),
        ("several faults in one stream",
         ["bad-check:%d" % last_packet_of(17), "duplicate:390", "retries:30", "bad-code:600"],
         # The duplicate adds a packet on track 19; track 30 sends 9 of its 18
         # sectors and the retries packet, so packet 600 falls on track 31.
         checkbyte_error(357) + "WARNING: Sector retries exhausted for track 30\n"
         "ERROR: illegal GCR value for sector\n"
         "ERROR: illegal value for sector on current track\n" + missing_warning(11),
         {17: 1, 30: 9, 31: 1}),
    ]

    def test_messages_in_order_and_image(self):
        for name, faults, stderr, gaps in self.CASES:
            with self.subTest(name):
                args = []
                for fault in faults:
                    args += ["--ws-fault", fault]
                result, _, image = self.copy(sim_args=args)
                self.assertRun(result, 0, stdout_pattern=SUCCESS, stderr=stderr)
                self.assertImageWithGaps(image, gaps)

    def test_silence_in_the_middle_of_track_15(self):
        # 300 packets: tracks 1-14 (294 sectors) and 6 sectors of track 15.
        result, _, image = self.copy(sim_args=["--ws-fault", "silent:300"], tool_args=["-t", "1"])
        self.assertRun(result, 1, stdout="Dumping disk contents... timed out.\n", stderr="")
        self.assertPartialImage(image, 14, 6)

    def test_hang_up_in_the_middle_of_track_5(self):
        # 100 packets: tracks 1-4 (84 sectors) and 16 sectors of track 5. The
        # budget is short so a hang-up the link misses shows as "timed out."
        # rather than as a run the harness has to kill.
        result, _, image = self.copy(sim_args=["--ws-fault", "hangup:100"], tool_args=["-t", "5"])
        self.assertRun(result, 1, stdout="Dumping disk contents... failed.\n", stderr="")
        self.assertPartialImage(image, 4, 16)

    def test_adapter_never_prompts(self):
        result, sim, image = self.copy(sim_args=["--no-prompt"], tool_args=["-t", "1"])
        self.assertRun(result, 1, stdout="", stderr="Timeout synchronizing with device.\n")
        self.assertEqual(sim.commands, [])
        self.assertEqual(image, b"")


class SaveFailures(CopyCase):
    def test_file_that_cannot_be_created(self):
        with Sim("--disk", SAMPLE) as sim:
            target = os.path.join(self.workdir, "no-such-folder", "copy.d64")
            result = run_tool(["-w", host_path(target)], sim.port)
            time.sleep(0.1)
        self.assertRun(result, 1, stdout="",
                       stderr="Unable to create or overwrite file %s.\n" % host_path(target))
        self.assertEqual(sim.commands, [])

    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full")
    def test_full_device(self):
        with Sim("--disk", SAMPLE) as sim:
            result = run_tool(["-w", host_path("/dev/full")], sim.port)
        self.assertRun(result, 1, stdout="Dumping disk contents... failed.\n",
                       stderr="ERROR: could not save to file\n")

    @unittest.skipIf(harness.TARGET == "wine", "a file size limit would bind Wine itself")
    def test_file_system_full_part_way(self):
        # A file size limit stands in for a small file system that fills up:
        # the copy must not end in success with a short image.
        for limit in (4096, 100000, IMAGE_SIZE - 1):
            with self.subTest(limit=limit):
                def limited():
                    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
                with Sim("--disk", SAMPLE) as sim:
                    process = subprocess.run(tool_command(["-w", "copy.d64", sim.port]), cwd=self.workdir,
                                             stdin=subprocess.DEVNULL, capture_output=True,
                                             timeout=harness.TOOL_TIMEOUT, preexec_fn=limited)
                result = harness.ToolResult([], process.returncode, process.stdout, process.stderr, 0)
                self.assertRun(result, 1, stdout="Dumping disk contents... failed.\n",
                               stderr="ERROR: could not save to file\n")
                self.assertLessEqual(os.path.getsize(os.path.join(self.workdir, "copy.d64")), limit)


def play_terminal(data):
    """The screen a terminal shows after `data` (the pty turns each LF into
    CR LF): CR to the line start, LF down a line, BS one left, other
    characters overwrite. Trailing blanks of each line dropped."""
    lines, row, col = [[]], 0, 0
    for ch in data.decode("utf-8", "replace"):
        if ch == "\r":
            col = 0
        elif ch == "\n":
            row += 1
            if row == len(lines):
                lines.append([])
        elif ch == "\b":
            col = max(0, col - 1)
        else:
            line = lines[row]
            while len(line) < col:
                line.append(" ")
            if col < len(line):
                line[col] = ch
            else:
                line.append(ch)
            col += 1
    return "\n".join("".join(line).rstrip() for line in lines)


@unittest.skipIf(harness.TARGET == "wine", "the Windows console is not a Unix terminal")
class ProgressOnTerminal(CopyCase):
    def test_display_shown_then_erased(self):
        import pty
        with Sim("--disk", SAMPLE, "--baud", "4000000") as sim:
            master, slave = pty.openpty()
            process = subprocess.Popen(tool_command(["-w", "copy.d64", sim.port]), cwd=self.workdir,
                                       stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
            os.close(slave)
            data = b""
            deadline = time.monotonic() + harness.TOOL_TIMEOUT
            while time.monotonic() < deadline:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break  # the tool ended and closed the terminal
                if not chunk:
                    break
                data += chunk
            process.wait(5)
            os.close(master)
        self.assertEqual(process.returncode, 0, data)
        self.assertIn(b"track 35/35 [", data, "the display showed the last track")
        screen = play_terminal(data)
        self.assertRegex(screen, r"\A" + harness.BANNER_FIRST_PREFIX.replace(".", r"\.") + r".*\n.*\n\n" +
                         r"Dumping disk contents\.\.\. succeeded in \d+\.\d\d seconds\.\n\n\Z")
        with open(os.path.join(self.workdir, "copy.d64"), "rb") as f:
            self.assertBytesEqual(self.source, f.read())


if __name__ == "__main__":
    unittest.main()
