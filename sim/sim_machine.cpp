// Access to the emulated machine's registers and memory, the rules of a device access, and fault
// reports.

#include "sim_machine.hpp"

#include <cstdarg>
#include <cstdio>

namespace opmsim {

std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

std::uint32_t regRead(Machine& m, int reg) {
    std::uint32_t value = 0;
    uc_reg_read(m.uc, reg, &value);
    return value;
}

void regWrite(Machine& m, int reg, std::uint32_t value) {
    uc_reg_write(m.uc, reg, &value);
}

std::uint32_t memRead(Machine& m, std::uint32_t addr, int size) {
    std::uint8_t bytes[4] = {};
    uc_mem_read(m.uc, addr, bytes, size);
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | bytes[i];
    return value;
}

void memWrite(Machine& m, std::uint32_t addr, std::uint32_t value, int size) {
    std::uint8_t bytes[4];
    for (int i = 0; i < size; ++i) bytes[i] = std::uint8_t(value >> (8 * (size - 1 - i)));
    uc_mem_write(m.uc, addr, bytes, size);
}

void report(Machine& m, const std::string& what) {
    std::string where;
    if (m.lastPc >= m.text && m.lastPc < m.textEnd) {
        where = format("text+$%X", m.lastPc - m.text);
    } else {
        where = format("$%06X", m.lastPc);
    }
    m.res->errors.push_back(format("%.6f s, PC %s: ", double(m.now) / 1e9, where.c_str()) + what);
}

void fail(Machine& m, const std::string& what) {
    report(m, what);
    m.stopped = true;
    uc_emu_stop(m.uc);
}

bool supervisor(Machine& m) {
    return (regRead(m, UC_M68K_REG_SR) & 0x2000) != 0;
}

// Switches the S bit. Writing SR swaps A7 with a stale copy of the other stack pointer inside
// Unicorn, so A7 is written back afterwards: the program stays on its stack, as with _SUPER.
void setSupervisor(Machine& m, bool on) {
    std::uint32_t sp = regRead(m, UC_M68K_REG_A7);
    std::uint32_t sr = regRead(m, UC_M68K_REG_SR);
    sr = on ? (sr | 0x2000) : (sr & ~0x2000u);
    regWrite(m, UC_M68K_REG_SR, sr);
    regWrite(m, UC_M68K_REG_A7, sp);
}

// Common checks of a device access, then the OPM timers brought up to date; false if the access
// is refused. A byte-lane device takes single bytes at odd addresses; a word-wide one (the DMA
// controller) also words and longs, at even addresses.
bool ioAccess(Machine& m, std::uint32_t addr, unsigned size, const char* kind, bool wordWide) {
    m.now += 4 * m.nsPerCycle;
    if (m.stopped) return false;
    if (wordWide) {
        if (size > 1 && (addr & 1)) {
            fail(m, format("%u-byte %s at odd address $%06X (an address error on the 68000)", size,
                           kind, addr));
            return false;
        }
    } else if (size != 1) {
        fail(m, format("%u-byte %s at $%06X: the device is on the odd byte lane only", size, kind,
                       addr));
        return false;
    } else if (!(addr & 1)) {
        fail(m, format("%s at even address $%06X: the device is on the odd byte lane", kind, addr));
        return false;
    }
    if (!supervisor(m)) {
        fail(m, format("%s at I/O address $%06X in user mode (a bus error on the X68000)", kind,
                       addr));
        return false;
    }
    runTimers(m);
    return true;
}

}  // namespace opmsim
