// Human68k ".x" executables: the header, the song layout the converter writes, and loading a
// program into the emulated memory as Human68k does.

#include "full/player/full_player.hpp"
#include "sim_machine.hpp"

namespace opmsim {

namespace {

std::uint32_t readBe32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return std::uint32_t(bytes[offset]) << 24 | std::uint32_t(bytes[offset + 1]) << 16 |
           std::uint32_t(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

}  // namespace

std::string parseXHeader(const std::vector<std::uint8_t>& file, XHeader& h) {
    if (file.size() < HEADER_SIZE) return "shorter than a Human68k header (64 bytes)";
    if (file[0] != 'H' || file[1] != 'U') return "no 'HU' magic: not a Human68k executable";
    h.loadMode = file[3];
    h.baseAddress = readBe32(file, 0x04);
    h.entry = readBe32(file, 0x08);
    h.textSize = readBe32(file, 0x0C);
    h.dataSize = readBe32(file, 0x10);
    h.bssSize = readBe32(file, 0x14);
    h.relocSize = readBe32(file, 0x18);
    h.symbolSize = readBe32(file, 0x1C);
    h.bindOffset = readBe32(file, 0x3C);
    return {};
}

PlayerKind detectPlayer(const std::vector<std::uint8_t>& file) {
    static_assert(FULL_PLAYER_BANK_OFFSET + 4 == FULL_PLAYER_DISPLAY_OFFSET &&
                  FULL_PLAYER_DISPLAY_OFFSET + 4 == FULL_PLAYER_LOOPS_OFFSET &&
                  FULL_PLAYER_LOOPS_OFFSET + 2 == FULL_PLAYER_ALBUM_OFFSET);
    std::span<const std::uint8_t, FULL_PLAYER_SIZE> full = fullPlayerBytes();
    if (file.size() < FULL_STREAM_OFFSET) return PlayerKind::Classic;
    // The fields the converter sets: the text size, and the bank's and the display's offsets,
    // the loops word and (in a player that has it) the album's offset, which lie together.
    const std::size_t fieldsEnd =
        fullPlayerHasAlbumField() ? FULL_PLAYER_ALBUM_OFFSET + 4 : FULL_PLAYER_LOOPS_OFFSET + 2;
    auto patched = [fieldsEnd](std::size_t i) {
        return (i >= FULL_PLAYER_TEXT_SIZE_OFFSET && i < FULL_PLAYER_TEXT_SIZE_OFFSET + 4) ||
               (i >= FULL_PLAYER_BANK_OFFSET && i < fieldsEnd);
    };
    for (std::size_t i = 0; i < FULL_STREAM_OFFSET; ++i) {
        if (!patched(i) && file[i] != full[i]) return PlayerKind::Classic;
    }
    return PlayerKind::Full;
}

std::uint16_t fullProgramPasses(const std::vector<std::uint8_t>& file) {
    if (detectPlayer(file) != PlayerKind::Full) return 0;
    return std::uint16_t(file[FULL_PLAYER_LOOPS_OFFSET] << 8 | file[FULL_PLAYER_LOOPS_OFFSET + 1]);
}

std::vector<std::uint8_t> buildExecutable(const std::vector<std::uint8_t>& stub,
                                          const std::vector<std::uint8_t>& stream) {
    auto stubByte = [&stub](std::size_t i) -> std::uint8_t {
        return i < stub.size() ? stub[i] : 0;
    };
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < STREAM_OFFSET; ++i) out.push_back(stubByte(i));
    out.insert(out.end(), stream.begin(), stream.end());
    for (std::size_t i = STREAM_OFFSET; i < STUB_SIZE; ++i) out.push_back(stubByte(i));
    std::uint32_t n = std::uint32_t(out.size() - (HEADER_SIZE + STUB_TAIL_SIZE));
    out[13] = std::uint8_t(n >> 16);
    out[14] = std::uint8_t(n >> 8);
    out[15] = std::uint8_t(n);
    return out;
}

// Reads the header and checks that the program can run here; returns what is wrong, or an empty
// string.
std::string checkLoadable(const std::vector<std::uint8_t>& file, XHeader& h) {
    std::string error = parseXHeader(file, h);
    if (!error.empty()) return error;
    std::uint64_t imageEnd = HEADER_SIZE + std::uint64_t(h.textSize) + h.dataSize;
    if ((h.textSize | h.dataSize) & 1) {
        return format("odd text or data size (%u, %u)", h.textSize, h.dataSize);
    }
    if (imageEnd > file.size()) {
        return format("file is %zu bytes, the header promises %llu", file.size(),
                      (unsigned long long)imageEnd);
    }
    if (h.relocSize != 0) {
        return format("relocation table of %u bytes: the player must be position-independent",
                      h.relocSize);
    }
    if (h.bindOffset != 0) return "bound executable (bind list offset set)";
    if (std::uint32_t(h.entry - h.baseAddress) >= h.textSize) {
        return "entry point outside the text section";
    }
    if (std::uint64_t(MCB) + 0x100 + h.textSize + h.dataSize + h.bssSize + 2 > RAM_SIZE) {
        return "program too large for the emulated memory";
    }
    return {};
}

// Places the program after its memory block and fills memory and registers as Human68k leaves
// them when it starts the program.
void loadProgram(Machine& m, const std::vector<std::uint8_t>& file, const XHeader& h) {
    m.text = MCB + 0x100;
    m.textEnd = m.text + h.textSize;
    m.dataStart = m.textEnd;
    m.bssStart = m.dataStart + h.dataSize;
    m.bssEnd = m.bssStart + h.bssSize;
    m.entry = m.text + (h.entry - h.baseAddress);

    // Memory not written below is not zero: programs must not rely on a cleared bss.
    std::vector<std::uint8_t> fill(RAM_SIZE);
    for (std::size_t i = 0; i < fill.size(); ++i) fill[i] = (i & 1) ? 0x5A : 0xA5;
    uc_mem_write(m.uc, 0, fill.data(), fill.size());
    for (std::uint32_t v = 0; v < 256; ++v) memWrite(m, v * 4, SYSTEM_OPM_HANDLER + v * 2, 4);
    memWrite(m, OPM_VECTOR_ADDR, SYSTEM_OPM_HANDLER, 4);
    m.opmVectorStart = SYSTEM_OPM_HANDLER;
    // The IOCS keeps the last value it wrote to OPM register 0x1B at $09DA; the chip holds it.
    memWrite(m, SYSTEM_1B_COPY_ADDRESS, m.opt.systemCopy1B, 1);
    m.regs[0x1B] = m.opt.systemCopy1B;

    // Memory block: 16-byte management block, then the PSP, then the program.
    memWrite(m, MCB + 0x08, RAM_SIZE, 4);  // end of the block
    memWrite(m, MCB + 0x10, ENVIRONMENT, 4);
    memWrite(m, MCB + 0x20, COMMAND_LINE, 4);
    memWrite(m, MCB + 0x30, m.bssStart, 4);  // bss
    memWrite(m, MCB + 0x34, m.bssEnd, 4);    // heap
    memWrite(m, MCB + 0x38, m.bssEnd, 4);    // stack
    memWrite(m, MCB + 0x44, 0x0000, 2);      // parent SR
    memWrite(m, MCB + 0x46, SYSTEM_SSP, 4);  // parent SSP
    memWrite(m, COMMAND_LINE, 0, 2);         // empty command line: length 0, NUL
    memWrite(m, ENVIRONMENT, 0x100, 4);      // environment: size, then no strings
    memWrite(m, ENVIRONMENT + 4, 0, 2);
    uc_mem_write(m.uc, m.text, file.data() + HEADER_SIZE, h.textSize + h.dataSize);

    // Registers at entry: a0 memory block, a1 end of the program, a2 command line,
    // a3 environment, a4 entry point; user mode on the parent's stack.
    for (int i = 0; i <= 7; ++i) regWrite(m, UC_M68K_REG_D0 + i, 0xC0DE0000u + 0x11u * i);
    regWrite(m, UC_M68K_REG_SR, 0x0000);
    regWrite(m, UC_M68K_REG_A0, MCB);
    regWrite(m, UC_M68K_REG_A1, m.bssEnd);
    regWrite(m, UC_M68K_REG_A2, COMMAND_LINE);
    regWrite(m, UC_M68K_REG_A3, ENVIRONMENT);
    regWrite(m, UC_M68K_REG_A4, m.entry);
    regWrite(m, UC_M68K_REG_A5, 0x00F00101);
    regWrite(m, UC_M68K_REG_A6, 0x00F00201);
    regWrite(m, UC_M68K_REG_A7, PARENT_STACK);
    m.entrySp = PARENT_STACK;

    resetMfp(m);
}

}  // namespace opmsim
