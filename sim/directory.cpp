// "dd \"$\" 0x%x": the file "$" of the --disk image, as a 1541-family drive
// produces it: a BASIC program loaded at 0x0801 with one line for the header,
// one per file and one for the free blocks, each at the drive's fixed length
// and with the drive's dummy link 0x0101. The adapter sends the load address,
// then length-prefixed chunks (--chunk N or random) and a zero length.
// --dir-fault overflow lengthens the image past what the host can hold;
// --dir-fault zero-length ends the stream right after the load address.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

// ---- The D64 layout of a 35-track disk.
constexpr int TRACKS = 35;
constexpr int SECTOR_SIZE = 256;
constexpr int SECTORS_TOTAL = 683;
constexpr long D64_SIZE = static_cast<long>(SECTORS_TOTAL) * SECTOR_SIZE;  // 174848
constexpr long D64_WITH_ERRORS_SIZE = D64_SIZE + SECTORS_TOTAL;            // one error byte per sector
constexpr int DIRECTORY_TRACK = 18;
constexpr int FIRST_DIRECTORY_SECTOR = 1;

constexpr int BAM_FIRST_ENTRY = 0x04;  // 4 bytes per track, the first its free count
constexpr int BAM_DISK_NAME = 0x90;
constexpr int BAM_ID_AND_TYPE = 0xA2;  // id, 0xA0, DOS type: five bytes
constexpr int ENTRIES_PER_SECTOR = 8;
constexpr int ENTRY_SIZE = 32;
constexpr int ENTRY_TYPE = 0x02;
constexpr int ENTRY_NAME = 0x05;
constexpr int ENTRY_BLOCKS = 0x1E;
constexpr int NAME_SIZE = 16;

constexpr unsigned char SHIFTED_SPACE = 0xA0;
constexpr unsigned char REVERSE_ON = 0x12;
constexpr unsigned char TYPE_CLOSED = 0x80;
constexpr unsigned char TYPE_LOCKED = 0x40;

// ---- The listing as the drive sends it.
constexpr std::size_t LOAD_ADDRESS = 0x0801;
constexpr std::size_t DUMMY_LINK = 0x0101;
constexpr std::size_t HEADER_TEXT = 25;  // line of 30 with link, number, terminator
constexpr std::size_t FILE_TEXT = 27;    // line of 32
constexpr std::size_t FREE_TEXT = 25;    // line of 30
// Beyond the host's 8192-byte listing buffer, with room for the filler lines.
constexpr std::size_t IMAGE_MAX = 8192 + 64;
constexpr std::size_t HOST_LISTING_MAX = 8192;
constexpr std::size_t DEFAULT_CHUNK = 254;  // one disk block's data
constexpr std::uint32_t RANDOM_CHUNK_MAX = 64;  // small, so boundaries fall inside lines and fields

int sectors_in_track(int track) {
    if (track <= 17) return 21;
    if (track <= 24) return 19;
    if (track <= 30) return 18;
    return 17;
}

// Offset of a sector in the image, or -1 outside the disk.
long sector_offset(int track, int sector) {
    if (track < 1 || track > TRACKS || sector < 0 || sector >= sectors_in_track(track)) return -1;
    long index = 0;
    for (int t = 1; t < track; ++t) index += sectors_in_track(t);
    return (index + sector) * SECTOR_SIZE;
}

struct disk_image {
    unsigned char bytes[D64_SIZE];
};

// A freshly formatted disk, used when no --disk is given.
void format_blank(disk_image* disk) {
    std::memset(disk->bytes, 0, sizeof disk->bytes);
    unsigned char* bam = disk->bytes + sector_offset(DIRECTORY_TRACK, 0);
    bam[0] = DIRECTORY_TRACK;
    bam[1] = FIRST_DIRECTORY_SECTOR;
    bam[2] = 'A';
    for (int track = 1; track <= TRACKS; ++track) {
        const int free = track == DIRECTORY_TRACK ? sectors_in_track(track) - 2 : sectors_in_track(track);
        bam[BAM_FIRST_ENTRY + (track - 1) * 4] = static_cast<unsigned char>(free);
    }
    std::memset(bam + BAM_DISK_NAME, SHIFTED_SPACE, 0xAB - BAM_DISK_NAME);
    std::memcpy(bam + BAM_DISK_NAME, "BLANK", 5);
    std::memcpy(bam + BAM_ID_AND_TYPE, "OS", 2);
    std::memcpy(bam + BAM_ID_AND_TYPE + 3, "2A", 2);
    unsigned char* first = disk->bytes + sector_offset(DIRECTORY_TRACK, FIRST_DIRECTORY_SECTOR);
    first[1] = 0xFF;  // last block of the chain, nothing in it
}

bool load_disk(const char* path, disk_image* disk) {
    if (path == nullptr) {
        format_blank(disk);
        return true;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "orvelan-sim: cannot open disk image %s\n", path);
        return false;
    }
    const std::size_t got = std::fread(disk->bytes, 1, sizeof disk->bytes, file);
    // Only the sizes of a 35-track image, with or without its error bytes.
    long total = static_cast<long>(got);
    unsigned char extra[SECTORS_TOTAL + 1];
    total += static_cast<long>(std::fread(extra, 1, sizeof extra, file));
    std::fclose(file);
    if (total != D64_SIZE && total != D64_WITH_ERRORS_SIZE) {
        std::fprintf(stderr, "orvelan-sim: %s is no 35-track D64 image (%ld bytes)\n", path, total);
        return false;
    }
    return true;
}

struct listing {
    unsigned char bytes[IMAGE_MAX];
    std::size_t length = 0;
};

void put(listing* out, const void* bytes, std::size_t count) {
    std::memcpy(out->bytes + out->length, bytes, count);
    out->length += count;
}

void put_word(listing* out, std::size_t value) {
    const unsigned char word[2] = {static_cast<unsigned char>(value & 0xFF),
                                   static_cast<unsigned char>((value >> 8) & 0xFF)};
    put(out, word, 2);
}

void put_line(listing* out, std::size_t number, const unsigned char* text, std::size_t length) {
    put_word(out, DUMMY_LINK);
    put_word(out, number);
    put(out, text, length);
    const unsigned char terminator = 0;
    put(out, &terminator, 1);
}

// Reverse on, the quoted disk name with its shifted-space padding, the id and
// the DOS type.
void put_header(listing* out, const unsigned char* bam) {
    unsigned char text[HEADER_TEXT];
    std::size_t at = 0;
    text[at++] = REVERSE_ON;
    text[at++] = '"';
    std::memcpy(text + at, bam + BAM_DISK_NAME, NAME_SIZE);
    at += NAME_SIZE;
    text[at++] = '"';
    text[at++] = ' ';
    for (int i = 0; i < 5; ++i) {
        const unsigned char c = bam[BAM_ID_AND_TYPE + i];
        text[at++] = c == SHIFTED_SPACE ? ' ' : c;
    }
    put_line(out, 0, text, at);
}

// The block count right-aligned under the line numbers, the name in quotes
// (closed at its first shifted space), "*" before the type of an unclosed
// file and "<" after that of a locked one, padded to the fixed length.
void put_file(listing* out, const unsigned char* entry) {
    static const char TYPES[8][4] = {"DEL", "SEQ", "PRG", "USR", "REL", "???", "???", "???"};
    const std::size_t blocks = entry[ENTRY_BLOCKS] | (entry[ENTRY_BLOCKS + 1] << 8);
    const unsigned char type = entry[ENTRY_TYPE];
    unsigned char text[FILE_TEXT];
    std::memset(text, ' ', sizeof text);
    std::size_t at = blocks < 10 ? 3 : blocks < 100 ? 2 : blocks < 1000 ? 1 : 0;
    text[at++] = '"';
    bool closed = false;
    for (int i = 0; i < NAME_SIZE; ++i) {
        const unsigned char c = entry[ENTRY_NAME + i];
        if (c == SHIFTED_SPACE && !closed) {
            text[at++] = '"';
            closed = true;
        } else {
            // Past the closing quote the padding shows as spaces.
            text[at++] = c == SHIFTED_SPACE ? ' ' : c;
        }
    }
    text[at++] = closed ? ' ' : '"';
    text[at++] = (type & TYPE_CLOSED) ? ' ' : '*';
    std::memcpy(text + at, TYPES[type & 0x07], 3);
    at += 3;
    text[at++] = (type & TYPE_LOCKED) ? '<' : ' ';
    put_line(out, blocks, text, sizeof text);
}

void put_blocks_free(listing* out, const unsigned char* bam) {
    std::size_t free = 0;
    for (int track = 1; track <= TRACKS; ++track) {
        if (track != DIRECTORY_TRACK) free += bam[BAM_FIRST_ENTRY + (track - 1) * 4];
    }
    unsigned char text[FREE_TEXT];
    std::memset(text, ' ', sizeof text);
    std::memcpy(text, "BLOCKS FREE.", 12);
    put_line(out, free, text, sizeof text);
}

// Room for one more file line, the blocks-free line and the end marker.
bool room_for_file(const listing* out) { return out->length + 32 + 30 + 2 <= IMAGE_MAX; }

// Walks the directory chain from 18/1; each sector is visited at most once,
// so a chain that loops or leaves the disk ends the walk.
void put_files(listing* out, const disk_image* disk) {
    bool visited[SECTORS_TOTAL] = {};
    int track = DIRECTORY_TRACK;
    int sector = FIRST_DIRECTORY_SECTOR;
    while (track != 0) {
        const long offset = sector_offset(track, sector);
        if (offset < 0 || visited[offset / SECTOR_SIZE]) return;
        visited[offset / SECTOR_SIZE] = true;
        const unsigned char* block = disk->bytes + offset;
        for (int i = 0; i < ENTRIES_PER_SECTOR; ++i) {
            const unsigned char* entry = block + i * ENTRY_SIZE;
            if (entry[ENTRY_TYPE] == 0) continue;
            // A crafted chain can hold thousands of entries; past the host's
            // limit more of them change nothing.
            if (!room_for_file(out)) return;
            put_file(out, entry);
        }
        track = block[0];
        sector = block[1];
    }
}

// Filler file lines until the image no longer fits the host's buffer.
void put_overflow(listing* out) {
    unsigned char entry[ENTRY_SIZE] = {};
    entry[ENTRY_TYPE] = TYPE_CLOSED | 2;
    std::memset(entry + ENTRY_NAME, SHIFTED_SPACE, NAME_SIZE);
    std::memcpy(entry + ENTRY_NAME, "OVERFLOW", 8);
    while (out->length + 30 + 2 <= HOST_LISTING_MAX) put_file(out, entry);
}

void build_listing(const disk_image* disk, const sim_options* options, listing* out) {
    const unsigned char* bam = disk->bytes + sector_offset(DIRECTORY_TRACK, 0);
    put_word(out, LOAD_ADDRESS);
    put_header(out, bam);
    put_files(out, disk);
    if (options->dir_fault == DIR_FAULT_OVERFLOW) put_overflow(out);
    put_blocks_free(out, bam);
    put_word(out, 0);  // end of the program
}

std::size_t next_chunk(sim_context* ctx, std::size_t left) {
    std::size_t size = DEFAULT_CHUNK;
    if (ctx->options->chunk_random) {
        size = 1 + sim_random(ctx) % RANDOM_CHUNK_MAX;
    } else if (ctx->options->chunk > 0) {
        size = static_cast<std::size_t>(ctx->options->chunk);
    }
    return size < left ? size : left;
}

bool send_length(sim_context* ctx, std::size_t length) {
    const unsigned char word[2] = {static_cast<unsigned char>(length & 0xFF),
                                   static_cast<unsigned char>((length >> 8) & 0xFF)};
    return sim_send_payload(ctx, word, 2);
}

bool send_listing(sim_context* ctx, const listing* image) {
    if (!sim_send_payload(ctx, image->bytes, 2)) return false;
    std::size_t at = 2;
    if (ctx->options->dir_fault == DIR_FAULT_ZERO_LENGTH) at = image->length;
    while (at < image->length) {
        const std::size_t size = next_chunk(ctx, image->length - at);
        if (!send_length(ctx, size)) return false;
        if (!sim_send_payload(ctx, image->bytes + at, size)) return false;
        at += size;
    }
    return send_length(ctx, 0);
}

}  // namespace

bool handle_directory(sim_context* ctx, const sim_request* request) {
    static disk_image disk;
    static listing image;
    if (!sim_sleep_ms(ctx, ctx->options->delay_ms)) return false;
    const char* code = sim_drive_reply(request);
    // Only the directory is on offer; any other file is not found.
    if (std::strcmp(code, "OK") == 0 && std::strcmp(request->args, "\"$\"") != 0) code = "NF";
    if (std::strcmp(code, "OK") == 0 && !load_disk(ctx->options->disk_path, &disk)) code = "KO";
    if (!sim_reply(ctx, code)) return sim_live(ctx);
    image.length = 0;
    build_listing(&disk, ctx->options, &image);
    return send_listing(ctx, &image);
}
