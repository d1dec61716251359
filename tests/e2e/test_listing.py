"""The directory listing (-l, -e -l) against the stand-in adapter: the exact
listing of a crafted disk in both modes and for every chunking, the sample
disk, and each fault of the directory stream with its message and status."""

import os
import re
import select
import shutil
import tempfile
import termios
import tty
import unittest

from harness import SOURCE, TARGET, E2ETestCase, Sim, run_tool

FAST = ("--delay", "5")
SAMPLE_DISK = os.path.join(SOURCE, "samples", "sample.d64")


# ---- A small D64 writer: 35 tracks, BAM on 18/0, directory chain from 18/1.

def sectors_in_track(track):
    if track <= 17:
        return 21
    if track <= 24:
        return 19
    if track <= 30:
        return 18
    return 17


def sector_offset(track, sector):
    return (sum(sectors_in_track(t) for t in range(1, track)) + sector) * 256


D64_SIZE = sector_offset(36, 0)


def make_d64(name, disk_id, chain, free_counts):
    """`chain`: (sector on track 18, [entry or None per slot]) in chain order;
    an entry is (type byte, name bytes, blocks). `free_counts`: {track: n}."""
    image = bytearray(D64_SIZE)
    bam = sector_offset(18, 0)
    image[bam:bam + 3] = bytes([18, 1, 0x41])
    for track in range(1, 36):
        image[bam + 4 + (track - 1) * 4] = free_counts.get(track, sectors_in_track(track))
    image[bam + 0x90:bam + 0xAB] = b"\xa0" * 0x1B
    image[bam + 0x90:bam + 0x90 + len(name)] = name
    image[bam + 0xA2:bam + 0xA4] = disk_id
    image[bam + 0xA5:bam + 0xA7] = b"2A"
    for index, (sector, entries) in enumerate(chain):
        at = sector_offset(18, sector)
        following = chain[index + 1][0] if index + 1 < len(chain) else None
        image[at:at + 2] = bytes([18, following]) if following is not None else bytes([0, 0xFF])
        for slot, entry in enumerate(entries):
            if entry is None:
                continue
            file_type, file_name, blocks = entry
            e = at + slot * 32
            image[e + 2] = file_type
            image[e + 3:e + 5] = bytes([17, 0])
            image[e + 5:e + 21] = file_name.ljust(16, b"\xa0")
            image[e + 0x1E:e + 0x20] = blocks.to_bytes(2, "little")
    return bytes(image)


# The crafted disk: control codes, shifted spaces and tokens inside and outside
# quotes, a zero byte in a name, every file type mark, a scratched entry and a
# chain of two directory sectors with empty slots.
CRAFTED = make_d64(
    name=b"MY\x93\"\x99\x05X",
    disk_id=b"AB",
    chain=[
        (1, [(0x82, b"HELLO", 3), None, (0x01, b"A\x1c\x81\xa0\x81\x9b", 12), (0x00, b"SCRATCHED", 5)]),
        (4, [(0xC2, b"ZE\x00RO", 100), (0x83, b"SIXTEENCHARSLONG", 1), (0x84, b"DATA", 7)]),
    ],
    free_counts={1: 16},
)

CRAFTED_PLAIN = (
    b'0 ."my."..x         " ab 2a\n'
    b'3    "hello"            prg  \n'
    b'12   "a.."..           *seq   \n'
    b'100  "ze ro"            prg<   \n'
    b'1    "sixteencharslong" usr  \n'
    b'7    "data"             rel  \n'
    b'659 blocks free.             \n'
)

CRAFTED_ESCAPED = (
    b'0 {revs on}"my{clear}"print{white}x' + b"close" * 9 + b'" ab 2a\n'
    b'3    "hello"            prg  \n'
    b'12   "a{red}{orange}"forlist           *seq   \n'
    b'100  "ze ro"            prg<   \n'
    b'1    "sixteencharslong" usr  \n'
    b'7    "data"             rel  \n'
    b'659 blocks free.             \n'
)

PROGRESS = r"Fetching directory listing\.\.\. "
SUCCESS = PROGRESS + r"succeeded in \d+\.\d\d seconds\.\n\n"

CHUNKINGS = [
    (),                              # the adapter's default
    ("--chunk", "1"),
    ("--chunk", "2"),
    ("--chunk", "7"),
    ("--chunk", "31"),
    ("--chunk", "65535"),
    ("--chunk", "random", "--seed", "1"),
    ("--chunk", "random", "--seed", "4242"),
]


class DiskFiles(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="orvelan-listing-")
        cls.crafted = os.path.join(cls.folder, "crafted.d64")
        with open(cls.crafted, "wb") as f:
            f.write(CRAFTED)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def listing_of(self, result):
        """Checks the progress and success lines; returns the listing bytes."""
        rest = self.after_banner(result)
        match = re.match(SUCCESS, rest)
        self.assertIsNotNone(match, repr(result))
        head = rest[:match.end()].encode()
        return result.stdout_bytes.split(head, 1)[1]


class CraftedDisk(DiskFiles):
    def test_exact_listing_in_both_modes_for_every_chunking(self):
        for chunking in CHUNKINGS:
            for escape, expected in (([], CRAFTED_PLAIN), (["-e"], CRAFTED_ESCAPED)):
                with self.subTest(chunking=chunking, escape=escape):
                    with Sim(*FAST, "--disk", self.crafted, *chunking) as sim:
                        result = run_tool(escape + ["-l"], sim.port)
                    self.assertEqual(result.returncode, 0, repr(result))
                    self.assertEqual(result.stderr, "")
                    self.assertBytesEqual(expected, self.listing_of(result), "listing")
                    self.assertEqual(sim.commands, ['dd "$" 0x8'])

    def test_drive_number_goes_out_in_hex(self):
        for drive, line in (("9", 'dd "$" 0x9'), ("11", 'dd "$" 0xb')):
            with self.subTest(drive=drive):
                with Sim(*FAST, "--disk", self.crafted) as sim:
                    result = run_tool(["-d", drive, "-l"], sim.port)
                self.assertEqual(result.returncode, 0, repr(result))
                self.assertBytesEqual(CRAFTED_PLAIN, self.listing_of(result), "listing")
                self.assertEqual(sim.commands, [line])

    def test_payload_paced_over_the_link(self):
        # The listing arrives in dribbles: silence between bytes costs budget
        # but the whole stream still fits the default timeout.
        with Sim(*FAST, "--disk", self.crafted, "--baud", "115200", "--chunk", "16") as sim:
            result = run_tool(["-l"], sim.port)
        self.assertEqual(result.returncode, 0, repr(result))
        self.assertBytesEqual(CRAFTED_PLAIN, self.listing_of(result), "listing")

    def test_blank_disk_without_an_image(self):
        with Sim(*FAST) as sim:
            result = run_tool(["-l"], sim.port)
        self.assertEqual(result.returncode, 0, repr(result))
        self.assertBytesEqual(b'0 ."blank           " os 2a\n664 blocks free.             \n',
                              self.listing_of(result), "listing")


def read_exactly(fd, count, timeout=5.0):
    data = b""
    while len(data) < count:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            raise AssertionError("adapter silent after %r" % data)
        data += os.read(fd, count - len(data))
    return data


def directory_stream(sim):
    """Talks to the simulator as a host would; returns the load address, the
    chunk sizes and the image without its load address."""
    fd = os.open(sim.path, os.O_RDWR | os.O_NOCTTY)
    try:
        # TCSANOW: flushing would drop the greeting and prompt already queued.
        tty.setraw(fd, termios.TCSANOW)
        seen = b""
        while not seen.endswith(b"\r\n> "):
            seen += read_exactly(fd, 1)
        line = b'dd "$" 0x8'
        os.write(fd, line + b"\r")
        echo = read_exactly(fd, len(line) + 2)
        if echo != line + b"\r\n":
            raise AssertionError("echo %r" % echo)
        if read_exactly(fd, 2) != b"OK":
            raise AssertionError("no OK")
        load = int.from_bytes(read_exactly(fd, 2), "little")
        sizes, image = [], b""
        while True:
            size = int.from_bytes(read_exactly(fd, 2), "little")
            if size == 0:
                return load, sizes, image
            sizes.append(size)
            image += read_exactly(fd, size)
    finally:
        os.close(fd)


@unittest.skipIf(TARGET != "native", "talks to the simulator alone")
class RawStream(DiskFiles):
    """What the stand-in adapter sends, as a drive makes it: the tool must
    not be the only judge of the simulator."""

    def test_drive_layout_and_chunks(self):
        for chunk in ("1", "5", "254", "4000"):
            with self.subTest(chunk=chunk):
                with Sim(*FAST, "--disk", self.crafted, "--chunk", chunk) as sim:
                    load, sizes, image = directory_stream(sim)
                self.assertEqual(load, 0x0801)
                self.assertTrue(all(size == int(chunk) for size in sizes[:-1]), sizes)
                self.assertLessEqual(sizes[-1], int(chunk))
                # Header, five files (the scratched one is not listed), blocks free, marker.
                lengths = [30] + [32] * 5 + [30]
                self.assertEqual(len(image), sum(lengths) + 2)
                at = 0
                for length in lengths:
                    self.assertEqual(image[at:at + 2], b"\x01\x01", "dummy link at %d" % at)
                    self.assertEqual(image[at + length - 1], 0, "terminator of the line at %d" % at)
                    at += length
                self.assertEqual(image[at:], b"\x00\x00")
                self.assertEqual(image[30 + 5 * 32 + 4:][:12], b"BLOCKS FREE.")

    def test_random_chunks_vary_and_cover_the_image(self):
        with Sim(*FAST, "--disk", self.crafted, "--chunk", "random", "--seed", "99") as sim:
            _, sizes, image = directory_stream(sim)
        self.assertGreater(len(set(sizes)), 1, sizes)
        self.assertEqual(sum(sizes), len(image))
        self.assertEqual(len(image), 30 + 5 * 32 + 30 + 2)


def directory_entries(image):
    """The file entries a drive lists: non-zero type bytes along the chain."""
    count = 0
    track, sector, seen = 18, 1, set()
    while track != 0 and (track, sector) not in seen and 1 <= track <= 35:
        seen.add((track, sector))
        at = sector_offset(track, sector)
        block = image[at:at + 256]
        count += sum(1 for slot in range(8) if block[slot * 32 + 2] != 0)
        track, sector = block[0], block[1]
    return count


@unittest.skipUnless(os.path.exists(SAMPLE_DISK), "no samples/sample.d64")
class SampleDisk(DiskFiles):
    def test_same_listing_for_every_chunking(self):
        with open(SAMPLE_DISK, "rb") as f:
            entries = directory_entries(f.read())
        for escape in ([], ["-e"]):
            reference = None
            for chunking in CHUNKINGS:
                with self.subTest(escape=escape, chunking=chunking):
                    with Sim(*FAST, "--disk", SAMPLE_DISK, *chunking) as sim:
                        result = run_tool(escape + ["-l"], sim.port)
                    self.assertEqual(result.returncode, 0, repr(result))
                    listing = self.listing_of(result)
                    lines = listing.split(b"\n")
                    self.assertEqual(lines[-1], b"", "the last line ends with a newline")
                    self.assertTrue(lines[0].startswith(b"0 "), lines[0])
                    self.assertRegex(lines[-2], rb"^\d+ blocks free\. +$")
                    self.assertEqual(len(lines) - 3, entries, listing)
                    if reference is None:
                        reference = listing
                    self.assertBytesEqual(reference, listing, "listing against the first chunking")


class StreamFaults(DiskFiles):
    CASES = [
        # simulator arguments, tool arguments, stdout after the banner (regex), status
        (("--reply", "NP"), [], PROGRESS + r"device not present\.\n", 1),
        (("--reply", "NF"), [], PROGRESS + r"file not found\.\n", 1),
        (("--reply", "KO"), [], PROGRESS + r"failed\.\n", 1),
        (("--silent-at", "reply"), ["-t", "1"], PROGRESS + r"timed out\.\n", 1),
        # Silent after the load address, the first length and 40 bytes of data.
        (("--silent-at", "payload", "--after", "44"), ["-t", "1"], PROGRESS + r"timed out\.\n", 1),
        # Silent between the two bytes of a chunk length.
        (("--silent-at", "payload", "--after", "3"), ["-t", "1"], PROGRESS + r"timed out\.\n", 1),
        (("--silent-at", "payload", "--after", "44", "--chunk", "1"), ["-t", "1"], PROGRESS + r"timed out\.\n", 1),
        (("--dir-fault", "overflow"), [], PROGRESS + r"failed\.\n", 1),
        (("--dir-fault", "overflow", "--chunk", "random", "--seed", "7"), [], PROGRESS + r"failed\.\n", 1),
        # The transfer succeeds; the listing finds no line.
        (("--dir-fault", "zero-length"), [], SUCCESS, 1),
        (("--dir-fault", "zero-length"), ["-e"], SUCCESS, 1),
    ]

    def test_fault_message_and_status(self):
        for sim_args, tool_args, pattern, status in self.CASES:
            with self.subTest(sim=sim_args, tool=tool_args):
                with Sim(*FAST, "--disk", self.crafted, *sim_args) as sim:
                    result = run_tool(tool_args + ["-l"], sim.port)
                self.assertRun(result, status, stdout_pattern=pattern, stderr="")
                self.assertEqual(sim.commands, ['dd "$" 0x8'])

    def test_no_listing_after_a_failed_transfer(self):
        with Sim(*FAST, "--disk", self.crafted, "--silent-at", "payload", "--after", "200") as sim:
            result = run_tool(["-t", "1", "-l"], sim.port)
        self.assertNotIn("hello", result.stdout)
        self.assertEqual(result.returncode, 1)


if __name__ == "__main__":
    unittest.main()
