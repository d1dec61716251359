// "j": the adapter leaves its command interpreter for its AVR109 bootloader,
// which shows up as a second serial port. Here that port is a second pty
// (linked at --boot-link) answering as the bootloader of an ATmega32U4 well
// enough for avrdude to write and verify flash; the flash is kept in a model
// and written to --flash-out when the programmer leaves the bootloader.
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "commands.h"
#include "output.h"

namespace {

constexpr std::size_t FLASH_SIZE = 32768;       // ATmega32U4
constexpr std::size_t BOOT_SECTION = 0x7000;    // the bootloader's own 4 KiB
constexpr std::size_t EEPROM_SIZE = 1024;
constexpr std::size_t BLOCK_SIZE = 128;         // one flash page
constexpr unsigned char SIGNATURE[3] = {0x1E, 0x95, 0x87};
constexpr unsigned char DEVICE_CODE = 0x44;     // what avrdude selects for the part
constexpr char SOFTWARE_ID[] = "ORVBOOT";       // always 7 characters
constexpr long IDLE_LIMIT_MS = 30000;           // no programmer: back to the firmware
constexpr long EXIT_DRAIN_LIMIT_MS = 2000;
constexpr long EXIT_LINGER_MS = 500;
constexpr std::size_t INPUT_MAX = 4 + BLOCK_SIZE;  // the longest command: B, size, type, data

// The bootloader's memory and where the next block goes. Kept for the whole
// run, so a second "j" sees what the first one flashed.
struct boot_memory {
    bool ready = false;
    unsigned char flash[FLASH_SIZE];
    unsigned char eeprom[EEPROM_SIZE];
    std::uint32_t address = 0;  // words for flash, bytes for EEPROM, as AVR109 counts
};

struct boot_session {
    boot_memory* memory = nullptr;
    unsigned char input[INPUT_MAX];
    std::size_t length = 0;
    std::size_t skip = 0;  // data bytes of a refused oversized block still to come
    bool exited = false;
};

boot_memory g_memory;

void memory_ready(boot_memory* memory) {
    if (memory->ready) return;
    std::memset(memory->flash, 0xFF, sizeof memory->flash);
    std::memset(memory->eeprom, 0xFF, sizeof memory->eeprom);
    memory->ready = true;
}

bool write_flash_out(const char* path, const boot_memory* memory) {
    if (path == nullptr) return true;
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "orvelan-sim: cannot write %s\n", path);
        return false;
    }
    const bool written = std::fwrite(memory->flash, 1, FLASH_SIZE, file) == FLASH_SIZE;
    return std::fclose(file) == 0 && written;
}

// Bytes a command needs, command letter included, once `have` bytes of it
// are in; 0 while that is not known yet (a block's size comes after 'B').
std::size_t command_length(const unsigned char* input, std::size_t have) {
    switch (input[0]) {
    case 'A': return 3;           // address high, low
    case 'H': return 4;           // extended address
    case 'T': case 'x': case 'y': case 'l': return 2;
    case 'g': return 4;           // size high, low, memory type
    case 'B':
        if (have < 3) return 0;
        return 4 + (static_cast<std::size_t>(input[1]) << 8 | input[2]);
    default: return 1;
    }
}

// Where a block of `size` bytes at the current address lies, in bytes; false
// when it leaves the memory (flash writes also may not touch the bootloader).
bool block_span(boot_memory* memory, unsigned char type, std::size_t size, bool write,
                unsigned char** start) {
    if (type == 'F') {
        const std::size_t offset = static_cast<std::size_t>(memory->address) * 2;
        const std::size_t end = write ? BOOT_SECTION : FLASH_SIZE;
        if (size % 2 != 0 || offset > end || size > end - offset) return false;
        *start = memory->flash + offset;
        return true;
    }
    if (type == 'E') {
        const std::size_t offset = memory->address;
        if (offset > EEPROM_SIZE || size > EEPROM_SIZE - offset) return false;
        *start = memory->eeprom + offset;
        return true;
    }
    return false;
}

void advance(boot_memory* memory, unsigned char type, std::size_t size) {
    memory->address += static_cast<std::uint32_t>(type == 'F' ? size / 2 : size);
}

// AVR109's answer to a command it does not know or cannot carry out.
std::size_t refuse(unsigned char* reply) {
    reply[0] = '?';
    return 1;
}

// Answers one complete command into `reply`; returns the reply's length.
std::size_t answer(boot_session* session, const unsigned char* command, unsigned char* reply,
                   const char* flash_out) {
    boot_memory* memory = session->memory;
    switch (command[0]) {
    case 0x1B: return 0;  // ESC: avrdude's wake-up, not answered
    case 'S': std::memcpy(reply, SOFTWARE_ID, 7); return 7;
    case 'V': case 'v': reply[0] = '1'; reply[1] = '0'; return 2;
    case 'p': reply[0] = 'S'; return 1;
    case 'a': reply[0] = 'Y'; return 1;
    case 'b': reply[0] = 'Y'; reply[1] = 0; reply[2] = BLOCK_SIZE; return 3;
    case 't': reply[0] = DEVICE_CODE; reply[1] = 0; return 2;
    case 's': reply[0] = SIGNATURE[2]; reply[1] = SIGNATURE[1]; reply[2] = SIGNATURE[0]; return 3;
    case 'r': case 'F': case 'N': case 'Q': reply[0] = 0xFF; return 1;  // lock and fuse bits
    case 'A': memory->address = static_cast<std::uint32_t>(command[1]) << 8 | command[2]; break;
    case 'H':
        memory->address = static_cast<std::uint32_t>(command[1]) << 16 |
                          static_cast<std::uint32_t>(command[2]) << 8 | command[3];
        break;
    case 'e': std::memset(memory->flash, 0xFF, BOOT_SECTION); break;
    case 'T':
        if (command[1] != DEVICE_CODE) return refuse(reply);
        break;
    case 'P': case 'L': case 'x': case 'y': case 'l': break;
    case 'E':
        // The image is out before the programmer hears that it is done.
        write_flash_out(flash_out, memory);
        session->exited = true;
        break;
    case 'B': {
        const std::size_t size = static_cast<std::size_t>(command[1]) << 8 | command[2];
        unsigned char* start = nullptr;
        if (size > BLOCK_SIZE || !block_span(memory, command[3], size, true, &start))
            return refuse(reply);
        std::memcpy(start, command + 4, size);
        advance(memory, command[3], size);
        break;
    }
    case 'g': {
        const std::size_t size = static_cast<std::size_t>(command[1]) << 8 | command[2];
        unsigned char* start = nullptr;
        if (size > BLOCK_SIZE || !block_span(memory, command[3], size, false, &start))
            return refuse(reply);
        std::memcpy(reply, start, size);
        advance(memory, command[3], size);
        return size;
    }
    default: return refuse(reply);
    }
    reply[0] = '\r';
    return 1;
}

// Takes received bytes, answering each command as soon as it is complete.
// Commands may arrive in any pieces. False when the answer could not go out.
bool take_bytes(sim_context* boot, boot_session* session, const unsigned char* bytes,
                std::size_t count) {
    static unsigned char reply[BLOCK_SIZE];
    for (std::size_t i = 0; i < count; ++i) {
        if (session->skip > 0) {
            --session->skip;
            continue;
        }
        session->input[session->length++] = bytes[i];
        const std::size_t needed = command_length(session->input, session->length);
        if (needed > INPUT_MAX) {
            // A block larger than a page is refused once its size is known;
            // its remaining bytes are data, not commands.
            session->skip = needed - session->length;
            session->length = 0;
            if (!sim_send(boot, "?", 1)) return false;
            continue;
        }
        if (needed == 0 || session->length < needed) continue;
        const std::size_t n = answer(session, session->input, reply, boot->options->flash_out);
        session->length = 0;
        if (n > 0 && !sim_send(boot, reply, n)) return false;
    }
    return true;
}

// Serves the bootloader port until the programmer exits it, nobody talks to
// it for IDLE_LIMIT_MS, or a stop is requested.
void serve(sim_context* boot, boot_session* session) {
    unsigned char input[512];
    std::int64_t last_activity = sim_now_ns();
    while (!session->exited && sim_live(boot)) {
        pollfd entry{boot->pty->master, POLLIN, 0};
        if (poll(&entry, 1, 100) > 0) {
            const ssize_t count = read(boot->pty->master, input, sizeof input);
            if (count > 0) {
                last_activity = sim_now_ns();
                if (!take_bytes(boot, session, input, static_cast<std::size_t>(count))) return;
                continue;
            }
        }
        if (sim_now_ns() - last_activity > IDLE_LIMIT_MS * 1000000LL) {
            std::fputs("orvelan-sim: bootloader idle, back to the firmware\n", stderr);
            return;
        }
    }
}

}  // namespace

bool handle_bootloader(sim_context* ctx, const sim_request*) {
    memory_ready(&g_memory);
    static sim_pty boot_pty;
    boot_pty = sim_pty{};
    if (!pty_open(&boot_pty)) {
        std::perror("orvelan-sim: cannot open the bootloader's pseudo-terminal");
        pty_close(&boot_pty);
        return true;
    }
    const char* link = ctx->options->boot_link;
    if (link != nullptr && !link_create(link, boot_pty.slave_path)) {
        pty_close(&boot_pty);
        return true;
    }
    std::fprintf(stderr, "orvelan-sim: bootloader on %s\n", boot_pty.slave_path);
    sim_context boot = *ctx;
    boot.pty = &boot_pty;
    static boot_session session;
    session = boot_session{};
    session.memory = &g_memory;
    serve(&boot, &session);
    if (session.exited) {
        // The programmer reads the answer to its exit and closes the port;
        // closing our side first would hang up on it mid-read.
        sim_drain(&boot, 0, EXIT_DRAIN_LIMIT_MS);
        sim_sleep_ms(&boot, EXIT_LINGER_MS);
    } else {
        write_flash_out(ctx->options->flash_out, &g_memory);
    }
    if (link != nullptr) link_remove(link, boot_pty.slave_path);
    pty_close(&boot_pty);
    // The new firmware starts and shows its prompt on the normal port.
    return true;
}
