#!/usr/bin/env python3
"""Writes samples/sample.d64: a 35-track 1541 disk image made for this project.

It holds a BAM with disk name and ID, a directory of two sectors and files of
every common kind, their data chained through sectors on several tracks:

  ORVELAN DEMO     PRG  a tokenised BASIC program loaded at $0801
  README           SEQ  PETSCII text about the adapter, several blocks
  HIGHSCORES       USR  a small binary table
  KERNEL PATCH     PRG  locked ("<" in the listing)
  SPLAT FILE       PRG  never closed ("*" in the listing)
  DISK<sh-space>TOOLS   a name with a shifted space inside
  <red>RED ALERT   SEQ  a name that starts with a control code
  STARFIELD        PRG  60 blocks spread over tracks 17 down to 15
  NOTES.TXT        SEQ  one block
  (a deleted entry, which the listing leaves out)

Sectors no file uses hold the pattern a 1541 writes when it formats
(0x4B, then 0x01), so no sector of the image is all zeros and a sector lost
in a copy shows in a comparison. The output is the same on every run.

Usage: scripts/make_sample_disk.py [OUTPUT]   (default samples/sample.d64)
"""

import os
import sys

TRACKS = 35
DIR_TRACK = 18
SHIFTED_SPACE = 0xA0
INTERLEAVE = 10


def sectors_on(track):
    return 21 if track <= 17 else 19 if track <= 24 else 18 if track <= 30 else 17


def offset(track, sector):
    return (sum(sectors_on(t) for t in range(1, track)) + sector) * 256


class Disk:
    def __init__(self):
        self.image = bytearray()
        for track in range(1, TRACKS + 1):
            for _ in range(sectors_on(track)):
                self.image += bytes([0x4B]) + bytes([0x01]) * 255
        self.used = {t: set() for t in range(1, TRACKS + 1)}

    def write(self, track, sector, data):
        assert len(data) == 256 and sector < sectors_on(track)
        start = offset(track, sector)
        self.image[start:start + 256] = data
        self.used[track].add(sector)

    def allocate(self, track, after):
        """Next free sector on `track`, INTERLEAVE past `after`, as the drive does."""
        count = sectors_on(track)
        for step in range(count):
            sector = (after + INTERLEAVE + step) % count
            if sector not in self.used[track]:
                return sector
        return None


def petscii(text):
    """ASCII text as PETSCII: lower case letters to upper case codes."""
    out = bytearray()
    for ch in text:
        c = ord(ch)
        if ch == "\n":
            out.append(0x0D)
        elif "a" <= ch <= "z":
            out.append(c - 0x20)
        else:
            out.append(c)
    return bytes(out)


def name_bytes(raw):
    assert len(raw) <= 16
    return bytes(raw) + bytes([SHIFTED_SPACE]) * (16 - len(raw))


def store_file(disk, tracks, payload):
    """Chains `payload` through sectors on `tracks` in turn; returns the first
    sector and the block count."""
    blocks = [payload[i:i + 254] for i in range(0, len(payload), 254)] or [b""]
    places = []
    track_index, last_sector = 0, -INTERLEAVE
    for _ in blocks:
        while True:
            track = tracks[track_index]
            sector = disk.allocate(track, last_sector)
            if sector is not None:
                break
            track_index += 1
            last_sector = -INTERLEAVE
        disk.used[track].add(sector)
        places.append((track, sector))
        last_sector = sector
    for i, block in enumerate(blocks):
        if i + 1 < len(blocks):
            link = bytes(places[i + 1])
        else:
            link = bytes([0, len(block) + 1])
        data = link + block + bytes(254 - len(block))
        disk.write(places[i][0], places[i][1], data)
    return places[0], len(blocks)


# ---- File contents.

TOKENS = {"PRINT": 0x99, "FOR": 0x81, "NEXT": 0x82, "GOTO": 0x89, "REM": 0x8F,
          "POKE": 0x97, "TO": 0xA4, "END": 0x80, "IF": 0x8B, "THEN": 0xA7, "CHR$": 0xC7,
          "GET": 0xA1}


def basic_program(lines, load=0x0801):
    """Tokenises simple BASIC lines: keywords in braces, e.g. "{PRINT}"."""
    body = bytearray()
    address = load
    encoded = []
    for number, text in lines:
        out = bytearray()
        i = 0
        while i < len(text):
            if text[i] == "{":
                end = text.index("}", i)
                out.append(TOKENS[text[i + 1:end]])
                i = end + 1
            else:
                out += petscii(text[i])
                i += 1
        encoded.append((number, bytes(out)))
    for number, text in encoded:
        size = 2 + 2 + len(text) + 1
        address += size
        body += address.to_bytes(2, "little") + number.to_bytes(2, "little") + text + b"\0"
    body += b"\0\0"
    return load.to_bytes(2, "little") + bytes(body)


DEMO = basic_program([
    (10, '{REM} orvelan adapter demo'),
    (20, '{POKE}53280,6:{POKE}53281,14'),
    (30, '{PRINT}{CHR$}(147);"hello from the orvelan sample disk"'),
    (40, '{FOR}i=1{TO}10:{PRINT}i,i*i:{NEXT}'),
    (50, '{PRINT}"press a key":{GET}a$:{IF}a$=""{THEN}50'),
    (60, '{END}'),
])

README = petscii(
    "this disk was made for the orvelan\n"
    "adapter's tests and demo. it has a bam,\n"
    "a directory of two blocks and files of\n"
    "each common kind, chained through\n"
    "sectors on several tracks.\n\n"
    + "".join("line %02d: the quick brown fox jumps over the lazy dog.\n" % n for n in range(1, 21))
    + "\nend of readme.\n")

HIGHSCORES = b"".join(
    bytes([rank]) + petscii("%-10s" % name) + score.to_bytes(3, "big")
    for rank, (name, score) in enumerate(
        [("ada", 98100), ("brian", 87450), ("carla", 76000), ("dieter", 65535),
         ("eve", 50210), ("fumiko", 41000), ("gus", 30303), ("hilde", 12345)], start=1))


def kernel_patch():
    # A small machine-code routine at $C000 with a lookup table after it.
    code = bytes([0xA2, 0x00, 0xBD, 0x10, 0xC0, 0x9D, 0x00, 0x04, 0xE8, 0xE0, 0x20, 0xD0,
                  0xF5, 0x60, 0xEA, 0xEA])
    table = bytes((i * 37 + 11) & 0xFF for i in range(600))
    return (0xC000).to_bytes(2, "little") + code + table


def splat_file():
    return (0x2000).to_bytes(2, "little") + bytes((i * 13) & 0xFF for i in range(300))


def disk_tools():
    return basic_program([(1, '{REM} disk tools'), (2, '{PRINT}"tools"')], load=0x0801)


RED_ALERT = petscii("red alert! shields up.\n" * 12)


def starfield():
    # 60 blocks of pseudo-random star positions (a linear congruential sequence).
    out = bytearray((0x4000).to_bytes(2, "little"))
    x = 12345
    while len(out) < 60 * 254:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


NOTES = petscii("notes: copy with orvelan -w copy.d64 port\n")


# ---- Directory.

TYPE_DEL, TYPE_SEQ, TYPE_PRG, TYPE_USR = 0, 1, 2, 3
CLOSED, LOCKED = 0x80, 0x40

FILES = [
    # name bytes, type byte, tracks to place on, contents
    (b"ORVELAN DEMO", CLOSED | TYPE_PRG, [17], DEMO),
    (b"README", CLOSED | TYPE_SEQ, [19, 20], README),
    (b"HIGHSCORES", CLOSED | TYPE_USR, [21], HIGHSCORES),
    (b"KERNEL PATCH", CLOSED | LOCKED | TYPE_PRG, [16], kernel_patch()),
    (b"SPLAT FILE", TYPE_PRG, [22], splat_file()),
    (b"DISK" + bytes([SHIFTED_SPACE]) + b"TOOLS", CLOSED | TYPE_PRG, [23], disk_tools()),
    (b"\x1cRED ALERT", CLOSED | TYPE_SEQ, [24], RED_ALERT),
    (b"STARFIELD", CLOSED | TYPE_PRG, [17, 15, 14], starfield()),
    (b"OLD BACKUP", TYPE_DEL, None, None),
    (b"NOTES.TXT", CLOSED | TYPE_SEQ, [35], NOTES),
]


def build():
    disk = Disk()
    disk.used[DIR_TRACK].update({0, 1, 4})  # BAM and the two directory blocks
    entries = []
    for name, kind, tracks, payload in FILES:
        if payload is None:
            entries.append((name, kind, (0, 0), 0))
            continue
        first, blocks = store_file(disk, tracks, payload)
        entries.append((name, kind, first, blocks))

    # Two directory blocks, 18/1 then 18/4, eight entries each.
    dir_sectors = [1, 4]
    for index, sector in enumerate(dir_sectors):
        block = bytearray(256)
        if index + 1 < len(dir_sectors):
            block[0:2] = bytes([DIR_TRACK, dir_sectors[index + 1]])
        else:
            block[0:2] = bytes([0, 0xFF])
        for slot, (name, kind, first, blocks) in enumerate(entries[index * 8:index * 8 + 8]):
            e = slot * 32
            block[e + 2] = kind
            block[e + 3:e + 5] = bytes(first)
            block[e + 5:e + 21] = name_bytes(name)
            block[e + 30:e + 32] = blocks.to_bytes(2, "little")
        disk.write(DIR_TRACK, sector, bytes(block))

    bam = bytearray(256)
    bam[0:4] = bytes([DIR_TRACK, 1, 0x41, 0x00])
    for track in range(1, TRACKS + 1):
        free = [s for s in range(sectors_on(track)) if s not in disk.used[track]]
        bits = sum(1 << s for s in free)
        bam[4 * track:4 * track + 4] = bytes([len(free)]) + bits.to_bytes(3, "little")
    bam[0x90:0xA0] = name_bytes(b"ORVELAN SAMPLE")
    bam[0xA0:0xAB] = bytes([SHIFTED_SPACE, SHIFTED_SPACE]) + b"OV" + bytes([SHIFTED_SPACE]) + b"2A" + \
        bytes([SHIFTED_SPACE]) * 4
    disk.write(DIR_TRACK, 0, bytes(bam))
    assert len(disk.image) == 174848
    return bytes(disk.image)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "samples", "sample.d64")
    with open(out, "wb") as f:
        f.write(build())


if __name__ == "__main__":
    main()
