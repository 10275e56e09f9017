#include "opm_sim.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace opmsim {

namespace {

// ------------------------------------------------------------------ emulated machine layout

constexpr std::uint32_t RAM_SIZE = 0x400000;            // 4 MB of main memory at address 0
constexpr std::uint32_t OPM_VECTOR_ADDR = 0x10C;        // vector 0x43: MFP GPIP3 = OPM /IRQ
constexpr std::uint32_t SYSTEM_OPM_HANDLER = 0xFC0000;  // the system's own handler (ROM)
constexpr std::uint32_t SYSTEM_SSP = 0x00008000;        // what DOS _SUPER hands out as the old SSP
constexpr std::uint32_t PARENT_STACK = 0x0000F000;      // stack pointer the program starts with
constexpr std::uint32_t COMMAND_LINE = 0x0000F100;
constexpr std::uint32_t ENVIRONMENT = 0x0000F200;
constexpr std::uint32_t MCB = 0x00010000;  // memory block; PSP at +0x10, text at +0x100
constexpr std::uint32_t OPM_BASE = 0xE90000;
constexpr std::uint32_t MFP_BASE = 0xE88000;
constexpr std::uint32_t IO_WINDOW = 0x2000;

// MFP registers (register n at MFP_BASE + 2n + 1).
constexpr int MFP_GPIP = 0;
constexpr int MFP_IERB = 4;
constexpr int MFP_IPRB = 6;
constexpr int MFP_IMRB = 10;
constexpr int MFP_VR = 11;
constexpr int MFP_REGISTERS = 24;
constexpr std::uint8_t GPIP3 = 0x08;

// OPM timing at 4 MHz: BUSY lasts 64 clock cycles after a data write; timer A counts in units
// of 64 cycles, timer B in units of 1024.
constexpr std::int64_t OPM_BUSY_NS = 16'000;
constexpr std::int64_t TIMER_A_UNIT_NS = 16'000;
constexpr std::int64_t TIMER_B_UNIT_NS = 256'000;

constexpr std::uint32_t KEY_CODE = 0x3520;  // space bar: scan code 0x35, ASCII 0x20

// Unicorn exception numbers for the 68000.
constexpr std::uint32_t EXC_LINE_F = 11;
constexpr std::uint32_t EXC_TRAP_15 = 47;
constexpr std::uint32_t EXC_RTE = 0x100;

struct Machine {
    uc_engine* uc = nullptr;
    SimOptions opt;
    SimResult* res = nullptr;
    std::int64_t now = 0;  // virtual time, ns
    std::int64_t nsPerCycle = 100;
    bool stopped = false;
    std::uint32_t lastPc = 0;

    // Program layout.
    std::uint32_t text = 0, textEnd = 0, dataStart = 0, bssStart = 0, bssEnd = 0;
    std::uint32_t entrySp = 0;
    bool ownStack = false;  // the program has moved the stack pointer into its bss
    bool superByDos = false;

    // OPM.
    std::vector<bool> named;  // registers the stream writes
    std::uint8_t opmAddr = 0;
    std::uint8_t regs[256] = {};
    std::int64_t busyUntil = 0;
    bool runA = false, runB = false, flagA = false, flagB = false;
    std::int64_t nextA = 0, nextB = 0;
    std::uint8_t keyMask[8] = {};

    // MFP and the vector table.
    std::uint8_t mfp[MFP_REGISTERS] = {};
    std::uint8_t mfpStart[MFP_REGISTERS] = {};
    std::uint32_t opmVectorStart = 0;

    // Poll detection: I/O accesses and system calls other than status reads are counted. Two
    // status reads by the same instruction with the same value and nothing counted in between
    // are a polling loop.
    std::uint64_t ioCount = 0;
    std::uint64_t lastStatusIo = ~std::uint64_t{0};
    std::uint32_t lastStatusPc = 0;
    std::uint8_t lastStatus = 0;

    bool keyTaken = false;
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

std::uint32_t readBe32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return std::uint32_t(bytes[offset]) << 24 | std::uint32_t(bytes[offset + 1]) << 16 |
           std::uint32_t(bytes[offset + 2]) << 8 | bytes[offset + 3];
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

// Records a fault with the place and time it happened.
void report(Machine& m, const std::string& what) {
    std::string where;
    if (m.lastPc >= m.text && m.lastPc < m.textEnd) {
        where = format("text+$%X", m.lastPc - m.text);
    } else {
        where = format("$%06X", m.lastPc);
    }
    m.res->errors.push_back(format("%.6f s, PC %s: ", double(m.now) / 1e9, where.c_str()) + what);
}

// Records a fault and ends the run.
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

// ------------------------------------------------------------------ OPM model

std::int64_t timerAPeriod(const Machine& m) {
    int na = m.regs[0x10] << 2 | (m.regs[0x11] & 3);
    return TIMER_A_UNIT_NS * (1024 - na);
}

std::int64_t timerBPeriod(const Machine& m) {
    return TIMER_B_UNIT_NS * (256 - m.regs[0x12]);
}

// Runs the timers up to the current time. A timer reloads itself from its register at every
// overflow, and raises its status flag only when its IRQEN bit is set.
void runTimers(Machine& m) {
    while (m.runA && m.nextA <= m.now) {
        if (m.regs[0x14] & 0x04) m.flagA = true;
        ++m.res->timerAOverflows;
        m.nextA += timerAPeriod(m);
    }
    while (m.runB && m.nextB <= m.now) {
        if (m.regs[0x14] & 0x08) m.flagB = true;
        m.nextB += timerBPeriod(m);
    }
}

bool opmIrq(const Machine& m) {
    return (m.flagA && (m.regs[0x14] & 0x04)) || (m.flagB && (m.regs[0x14] & 0x08));
}

std::uint8_t opmStatus(const Machine& m) {
    return std::uint8_t((m.now < m.busyUntil ? 0x80 : 0) | (m.flagA ? 1 : 0) | (m.flagB ? 2 : 0));
}

// The next time the status byte can change by itself, or -1 if it never will.
std::int64_t nextStatusChange(const Machine& m) {
    std::int64_t next = -1;
    auto consider = [&next](std::int64_t t) {
        if (next < 0 || t < next) next = t;
    };
    if (m.now < m.busyUntil) consider(m.busyUntil);
    if (m.runA && !m.flagA && (m.regs[0x14] & 0x04)) consider(m.nextA);
    if (m.runB && !m.flagB && (m.regs[0x14] & 0x08)) consider(m.nextB);
    return next;
}

void writeTimerControl(Machine& m, std::uint8_t value) {
    if (value & 0x80) {
        fail(m, "set CSM in register $14: every timer A overflow would key on all slots");
        return;
    }
    if (value & 0x10) m.flagA = false;
    if (value & 0x20) m.flagB = false;
    m.regs[0x14] = value;
    // LOAD starts a stopped timer with a full period; set again on a running timer it changes
    // nothing.
    if (!(value & 0x01)) {
        m.runA = false;
    } else if (!m.runA) {
        m.runA = true;
        m.nextA = m.now + timerAPeriod(m);
    }
    if (!(value & 0x02)) {
        m.runB = false;
    } else if (!m.runB) {
        m.runB = true;
        m.nextB = m.now + timerBPeriod(m);
    }
}

void writeRegister(Machine& m, std::uint8_t reg, std::uint8_t value) {
    switch (reg) {
        case 0x1B:
            fail(m,
                 "wrote register $1B: its bits 7-6 drive the ADPCM clock and the floppy "
                 "READY line");
            return;
        case 0x10:
        case 0x11:
        case 0x12:
            m.regs[reg] = value;  // a new timer value applies from the next reload
            return;
        case 0x14:
            writeTimerControl(m, value);
            return;
        default:
            break;
    }
    if (!m.named[reg]) {
        // Silencing the chip at the end is allowed whatever the stream held.
        bool silencing =
            (reg == 0x08 && (value & 0x78) == 0) || (reg >= 0x60 && reg <= 0x7F && value == 0x7F);
        if (!silencing) {
            fail(m,
                 format("wrote $%02X to register $%02X, which the stream never names", value, reg));
            return;
        }
    }
    m.regs[reg] = value;
    if (reg == 0x08) m.keyMask[value & 7] = (value >> 3) & 0x0F;
}

// Common checks of a device access; false if the access is refused.
bool ioAccess(Machine& m, std::uint32_t addr, unsigned size, const char* kind) {
    m.now += 4 * m.nsPerCycle;
    if (m.stopped) return false;
    if (size != 1) {
        fail(m, format("%u-byte %s at $%06X: the device is on the odd byte lane only", size, kind,
                       addr));
        return false;
    }
    if (!(addr & 1)) {
        fail(m, format("%s at even address $%06X: the device is on the odd byte lane", kind, addr));
        return false;
    }
    if (!supervisor(m)) {
        fail(m, format("%s at I/O address $%06X in user mode (a bus error on the X68000)", kind,
                       addr));
        return false;
    }
    return true;
}

std::uint64_t onOpmRead(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (!ioAccess(m, OPM_BASE + std::uint32_t(offset), size, "read")) return 0xFF;
    runTimers(m);
    if (offset != 3) {
        ++m.ioCount;
        return 0;  // the register-number port reads as 0
    }
    std::uint8_t status = opmStatus(m);
    if (m.lastStatusIo == m.ioCount && m.lastStatusPc == m.lastPc && status == m.lastStatus) {
        // A loop doing nothing but polling: let it see the next change right away.
        std::int64_t next = nextStatusChange(m);
        if (next < 0) {
            fail(m,
                 format("keeps polling an OPM status ($%02X) that can no longer change", status));
        } else {
            m.now = std::max(m.now, next);
            runTimers(m);
        }
    }
    m.lastStatusIo = m.ioCount;
    m.lastStatusPc = m.lastPc;
    m.lastStatus = status;
    return status;
}

void onOpmWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (!ioAccess(m, OPM_BASE + std::uint32_t(offset), size, "write")) return;
    runTimers(m);
    ++m.ioCount;
    std::uint8_t byte = std::uint8_t(value);
    if (offset == 1) {
        if (m.now < m.busyUntil) fail(m, "register number written while the OPM is busy");
        m.opmAddr = byte;
        return;
    }
    if (offset != 3) {
        fail(m, format("write to unused OPM address $%06X", OPM_BASE + std::uint32_t(offset)));
        return;
    }
    if (m.now < m.busyUntil) {
        fail(m, format("data $%02X for register $%02X written while the OPM is busy", byte,
                       m.opmAddr));
        return;
    }
    m.res->writes.push_back({m.now, m.opmAddr, byte});
    m.busyUntil = m.now + OPM_BUSY_NS;
    writeRegister(m, m.opmAddr, byte);
}

// ------------------------------------------------------------------ MFP model

int mfpRegister(Machine& m, std::uint64_t offset, unsigned size, const char* kind) {
    if (!ioAccess(m, MFP_BASE + std::uint32_t(offset), size, kind)) return -1;
    runTimers(m);
    ++m.ioCount;
    int reg = int(offset >> 1);
    if (reg >= MFP_REGISTERS) {
        fail(m, format("%s at unused MFP address $%06X", kind, MFP_BASE + std::uint32_t(offset)));
        return -1;
    }
    return reg;
}

std::uint64_t onMfpRead(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    int reg = mfpRegister(m, offset, size, "read");
    if (reg < 0) return 0xFF;
    if (reg == MFP_GPIP) return opmIrq(m) ? 0xFF & ~GPIP3 : 0xFF;  // /IRQ is active low
    return m.mfp[reg];
}

void onMfpWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    int reg = mfpRegister(m, offset, size, "write");
    if (reg < 0) return;
    m.mfp[reg] = std::uint8_t(value);
    if (reg == MFP_IERB) m.mfp[MFP_IPRB] &= m.mfp[MFP_IERB];  // disabling clears pending
}

// ------------------------------------------------------------------ CPU hooks

void onCode(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (m.stopped) {
        uc_emu_stop(uc);
        return;
    }
    m.lastPc = std::uint32_t(address);
    ++m.res->instructions;
    m.now += (2 + 2 * std::int64_t(size)) * m.nsPerCycle;  // 4 cycles per word fetched, plus 2
    runTimers(m);
    if (m.now > m.opt.timeLimitNs) {
        fail(m, "still running at the time limit");
        return;
    }
    if (address < m.text || address >= m.textEnd) {
        fail(m, "executing outside the program's text");
        return;
    }
    std::uint32_t sp = regRead(m, UC_M68K_REG_A7);
    bool inBss = sp >= m.bssStart && sp <= m.bssEnd && !(sp & 1);
    if (!m.ownStack) {
        if (inBss) {
            m.ownStack = true;
        } else if (sp != m.entrySp) {
            fail(m, format("stack pointer $%06X is outside the program's stack (bss $%06X-$%06X)",
                           sp, m.bssStart, m.bssEnd));
            return;
        }
    } else if (!inBss) {
        fail(m, format("stack pointer $%06X left the program's stack (bss $%06X-$%06X)", sp,
                       m.bssStart, m.bssEnd));
        return;
    }
    // With GPIP3 enabled and unmasked in the MFP, a raised OPM flag interrupts the CPU at
    // level 6 through vector 0x43. The system's handler would take it.
    if (opmIrq(m) && (m.mfp[MFP_IERB] & GPIP3) && (m.mfp[MFP_IMRB] & GPIP3) &&
        ((regRead(m, UC_M68K_REG_SR) >> 8) & 7) < 6) {
        fail(m, format("OPM interrupt (level 6, vector $%02X) would reach the CPU; interrupt "
                       "handlers are not modelled",
                       (m.mfp[MFP_VR] & 0xF0) | 3));
    }
}

void onMemory(uc_engine*, uc_mem_type type, std::uint64_t address, int size, std::int64_t,
              void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (m.stopped) return;
    m.now += (size == 4 ? 8 : 4) * m.nsPerCycle;
    bool write = type == UC_MEM_WRITE;
    if (size > 1 && (address & 1)) {
        fail(m, format("%d-byte %s at odd address $%06X (an address error on the 68000)", size,
                       write ? "write" : "read", std::uint32_t(address)));
        return;
    }
    if (write && (address < m.dataStart || address + size > m.bssEnd)) {
        fail(m,
             format("write to $%06X, outside the program's data and bss", std::uint32_t(address)));
    }
}

bool onUnmapped(uc_engine*, uc_mem_type type, std::uint64_t address, int size, std::int64_t,
                void* user) {
    Machine& m = *static_cast<Machine*>(user);
    const char* kind = type == UC_MEM_FETCH_UNMAPPED   ? "instruction fetch"
                       : type == UC_MEM_WRITE_UNMAPPED ? "write"
                                                       : "read";
    fail(m, format("%d-byte %s at unmapped address $%06X", size, kind, std::uint32_t(address)));
    return false;
}

void scrambleRegisters(Machine& m) {
    if (!m.opt.scrambleRegisters) return;
    // Data registers get garbage, address registers odd addresses in unmapped space, so that
    // a program relying on them after the call fails loudly.
    for (int i = 1; i <= 7; ++i) regWrite(m, UC_M68K_REG_D0 + i, 0x5CA3B1E0u + 0x01010101u * i);
    for (int i = 0; i <= 6; ++i) regWrite(m, UC_M68K_REG_A0 + i, 0x00F00001u + 0x100u * i);
}

void checkExitState(Machine& m) {
    if (m.superByDos) report(m, "exited without leaving the supervisor mode it entered");
    if (m.runA || m.runB)
        report(m, format("timer %s still running at exit", m.runA && m.runB ? "A and B"
                                                           : m.runA         ? "A"
                                                                            : "B"));
    if (m.regs[0x14] & 0x0C) report(m, "timer IRQEN left set at exit");
    if (opmIrq(m)) report(m, "OPM interrupt request still raised at exit");
    for (int reg = 1; reg < MFP_REGISTERS; ++reg) {
        if (m.mfp[reg] != m.mfpStart[reg]) {
            report(m, format("MFP register %d changed from $%02X to $%02X", reg, m.mfpStart[reg],
                             m.mfp[reg]));
        }
    }
    if (memRead(m, OPM_VECTOR_ADDR, 4) != m.opmVectorStart) {
        report(m, "OPM interrupt vector (0x43 at $10C) changed");
    }
    std::string keyed, loud;
    for (int c = 0; c < 8; ++c) {
        if (m.keyMask[c]) keyed += format(" %d", c);
    }
    for (int s = 0; s < 32; ++s) {
        if (m.regs[0x60 + s] != 0x7F) loud += format(" %d", s);
    }
    if (!keyed.empty()) report(m, "channels still keyed on at exit:" + keyed);
    if (!loud.empty()) report(m, "slots whose TL is not 127 at exit:" + loud);
}

void endProgram(Machine& m, int code) {
    m.res->exited = true;
    m.res->exitCode = code;
    checkExitState(m);
    m.stopped = true;
    uc_emu_stop(m.uc);
}

bool keyWaiting(const Machine& m) {
    return m.opt.keyPressNs >= 0 && m.now >= m.opt.keyPressNs && !m.keyTaken;
}

void iocsCall(Machine& m, std::uint32_t pc) {
    std::uint8_t number = std::uint8_t(regRead(m, UC_M68K_REG_D0));
    std::uint32_t d0 = 0;
    switch (number) {
        case 0x01:  // _B_KEYSNS: key code if one is waiting, 0 otherwise; the key stays
            d0 = keyWaiting(m) ? KEY_CODE : 0;
            break;
        case 0x00:  // _B_KEYINP: waits for a key and takes it out of the buffer
            if (!keyWaiting(m)) {
                if (m.opt.keyPressNs < m.now || m.keyTaken) {
                    fail(m, "IOCS _B_KEYINP waits for a key that never comes");
                    return;
                }
                m.now = m.opt.keyPressNs;
                runTimers(m);
            }
            m.keyTaken = true;
            m.res->keyTakenNs = m.now;
            d0 = KEY_CODE;
            break;
        default:
            fail(m, format("unknown IOCS call $%02X", number));
            return;
    }
    scrambleRegisters(m);
    regWrite(m, UC_M68K_REG_D0, d0);
    regWrite(m, UC_M68K_REG_PC, pc + 2);
}

void dosCall(Machine& m, std::uint32_t pc) {
    std::uint32_t opcode = memRead(m, pc, 2);
    std::uint32_t sp = regRead(m, UC_M68K_REG_A7);
    std::uint32_t d0 = 0;
    switch (opcode) {
        case 0xFF00:  // _EXIT
            endProgram(m, 0);
            return;
        case 0xFF4C:  // _EXIT2: exit code word on the stack
            endProgram(m, std::int16_t(memRead(m, sp, 2)));
            return;
        case 0xFF20: {  // _SUPER: 0 = enter supervisor mode, else go back with that SSP
            std::uint32_t arg = memRead(m, sp, 4);
            if (arg == 0) {
                if (supervisor(m)) {
                    d0 = std::uint32_t(-26);  // already in supervisor mode
                } else {
                    setSupervisor(m, true);
                    m.superByDos = true;
                    d0 = SYSTEM_SSP;
                }
            } else if (!supervisor(m)) {
                fail(m, "DOS _SUPER back to user mode while in user mode");
                return;
            } else if (arg != SYSTEM_SSP) {
                fail(m, format("DOS _SUPER back to user mode with SSP $%08X instead of $%08X", arg,
                               SYSTEM_SSP));
                return;
            } else {
                setSupervisor(m, false);
                m.superByDos = false;
            }
            break;
        }
        default:
            fail(m, format("unknown DOS call $%04X", opcode));
            return;
    }
    scrambleRegisters(m);
    regWrite(m, UC_M68K_REG_D0, d0);
    regWrite(m, UC_M68K_REG_PC, pc + 2);
}

std::string exceptionName(std::uint32_t number) {
    switch (number) {
        case 2:
            return "bus error";
        case 3:
            return "address error";
        case 4:
            return "illegal instruction";
        case 5:
            return "division by zero";
        case 6:
            return "CHK exception";
        case 7:
            return "TRAPV exception";
        case 8:
            return "privilege violation";
        case 9:
            return "trace exception";
        case 10:
            return "line-A instruction";
        case EXC_RTE:
            return "RTE without an exception to return from";
        default:
            break;
    }
    if (number >= 32 && number < 48) return format("TRAP #%u", number - 32);
    return format("CPU exception %u", number);
}

void onInterrupt(uc_engine*, std::uint32_t number, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (m.stopped) return;
    std::uint32_t pc = regRead(m, UC_M68K_REG_PC);
    m.lastPc = pc;
    m.now += m.opt.systemCallNs;
    runTimers(m);
    ++m.ioCount;
    if (number == EXC_TRAP_15) {
        iocsCall(m, pc);
    } else if (number == EXC_LINE_F) {
        dosCall(m, pc);
    } else {
        fail(m, exceptionName(number));
    }
}

// ------------------------------------------------------------------ loading

// Fills the machine's memory as Human68k leaves it when it starts the program.
void loadProgram(Machine& m, const std::vector<std::uint8_t>& file, const XHeader& h) {
    // Memory not written below is not zero: programs must not rely on a cleared bss.
    std::vector<std::uint8_t> fill(RAM_SIZE);
    for (std::size_t i = 0; i < fill.size(); ++i) fill[i] = (i & 1) ? 0x5A : 0xA5;
    uc_mem_write(m.uc, 0, fill.data(), fill.size());
    for (std::uint32_t v = 0; v < 256; ++v) memWrite(m, v * 4, SYSTEM_OPM_HANDLER + v * 2, 4);
    memWrite(m, OPM_VECTOR_ADDR, SYSTEM_OPM_HANDLER, 4);
    m.opmVectorStart = SYSTEM_OPM_HANDLER;

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
    regWrite(m, UC_M68K_REG_A4, m.text + (h.entry - h.baseAddress));
    regWrite(m, UC_M68K_REG_A5, 0x00F00101);
    regWrite(m, UC_M68K_REG_A6, 0x00F00201);
    regWrite(m, UC_M68K_REG_A7, PARENT_STACK);
    m.entrySp = PARENT_STACK;

    // MFP as the system leaves it: vector base $40, GPIP4 (V-DISP) in use, GPIP3 (OPM) as the
    // options say.
    m.mfp[MFP_GPIP] = 0xFF;
    m.mfp[MFP_VR] = 0x40;
    m.mfp[MFP_IERB] = std::uint8_t(0x40 | (m.opt.opmInterruptEnabled ? GPIP3 : 0));
    m.mfp[MFP_IMRB] = m.mfp[MFP_IERB];
    std::copy(std::begin(m.mfp), std::end(m.mfp), std::begin(m.mfpStart));
}

}  // namespace

// ------------------------------------------------------------------ public functions

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

bool playerWrites(std::uint8_t reg) {
    return !(reg >= 0x10 && reg <= 0x14) && reg != 0x1B;
}

DecodedStream decodeStream(const std::uint8_t* data, std::size_t size) {
    DecodedStream d;
    d.named.assign(256, false);
    std::uint32_t tick = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        std::uint8_t first = data[i], second = data[i + 1];
        ++d.pairs;
        if (first != 0) {
            d.named[first] = true;
            if (playerWrites(first)) d.events.push_back({tick, first, second});
        } else if (second <= 0xFD) {
            tick += second + 1u;
        } else if (second == 0xFE) {
            d.loops = true;
            d.loopStart = d.events.size();
            d.loopTick = tick;
        } else {
            d.endTick = tick;
            d.loopTicks = d.loops ? tick - d.loopTick : 0;
            return d;
        }
    }
    d.endTick = tick;
    d.error = "the stream has no end marker (00 FF)";
    return d;
}

DecodedStream decodeExecutableStream(const std::vector<std::uint8_t>& file) {
    XHeader h;
    std::string error = parseXHeader(file, h);
    if (error.empty() && std::uint64_t(h.textSize) + HEADER_SIZE < STREAM_OFFSET) {
        error = "text section ends before the stream position";
    }
    if (!error.empty()) {
        DecodedStream d;
        d.named.assign(256, false);
        d.error = error;
        return d;
    }
    std::size_t end =
        std::min<std::uint64_t>(file.size(), std::uint64_t(HEADER_SIZE) + h.textSize + h.dataSize);
    return decodeStream(file.data() + STREAM_OFFSET, end - STREAM_OFFSET);
}

SimResult runProgram(const std::vector<std::uint8_t>& file, const SimOptions& options) {
    SimResult res;
    XHeader h;
    std::string error = parseXHeader(file, h);
    if (error.empty()) {
        if ((h.textSize | h.dataSize) & 1) {
            error = format("odd text or data size (%u, %u)", h.textSize, h.dataSize);
        } else if (HEADER_SIZE + std::uint64_t(h.textSize) + h.dataSize > file.size()) {
            error =
                format("file is %zu bytes, the header promises %llu", file.size(),
                       (unsigned long long)(HEADER_SIZE + std::uint64_t(h.textSize) + h.dataSize));
        } else if (h.relocSize != 0) {
            error = format("relocation table of %u bytes: the player must be position-independent",
                           h.relocSize);
        } else if (h.bindOffset != 0) {
            error = "bound executable (bind list offset set)";
        } else if (std::uint32_t(h.entry - h.baseAddress) >= h.textSize) {
            error = "entry point outside the text section";
        } else if (std::uint64_t(MCB) + 0x100 + h.textSize + h.dataSize + h.bssSize + 2 >
                   RAM_SIZE) {
            error = "program too large for the emulated memory";
        }
    }
    if (!error.empty()) {
        res.errors.push_back(error);
        return res;
    }

    Machine m;
    m.opt = options;
    m.res = &res;
    m.nsPerCycle =
        std::max<std::int64_t>(1, 1'000'000'000 / std::max<std::uint32_t>(1, options.cpuHz));
    m.text = MCB + 0x100;
    m.textEnd = m.text + h.textSize;
    m.dataStart = m.textEnd;
    m.bssStart = m.dataStart + h.dataSize;
    m.bssEnd = m.bssStart + h.bssSize;
    m.named = decodeExecutableStream(file).named;

    uc_err err = uc_open(UC_ARCH_M68K, UC_MODE_BIG_ENDIAN, &m.uc);
    if (err != UC_ERR_OK) {
        res.errors.push_back(std::string("Unicorn: ") + uc_strerror(err));
        return res;
    }
    // The default model is a ColdFire; every instance in a process must use the same model.
    uc_ctl_set_cpu_model(m.uc, UC_CPU_M68K_M68000);
    uc_mem_map(m.uc, 0, RAM_SIZE, UC_PROT_ALL);
    uc_mmio_map(m.uc, OPM_BASE, IO_WINDOW, onOpmRead, &m, onOpmWrite, &m);
    uc_mmio_map(m.uc, MFP_BASE, IO_WINDOW, onMfpRead, &m, onMfpWrite, &m);
    loadProgram(m, file, h);

    uc_hook hooks[4];
    uc_hook_add(m.uc, &hooks[0], UC_HOOK_CODE, reinterpret_cast<void*>(onCode), &m, 1, 0);
    uc_hook_add(m.uc, &hooks[1], UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                reinterpret_cast<void*>(onMemory), &m, 0, RAM_SIZE - 1);
    uc_hook_add(m.uc, &hooks[2], UC_HOOK_INTR, reinterpret_cast<void*>(onInterrupt), &m, 1, 0);
    uc_hook_add(m.uc, &hooks[3], UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(onUnmapped), &m, 1,
                0);

    std::uint32_t entry = m.text + (h.entry - h.baseAddress);
    m.lastPc = entry;
    err = uc_emu_start(m.uc, entry, 0xFFFFFFFF, 0, 0);
    if (err != UC_ERR_OK && !m.stopped) {
        report(m, std::string("emulation stopped: ") + uc_strerror(err));
    } else if (!res.exited && res.errors.empty()) {
        report(m, "the program stopped without calling DOS _EXIT");
    }
    res.endNs = m.now;
    uc_close(m.uc);
    return res;
}

ReplayCheck checkReplay(const DecodedStream& stream, const SimResult& result,
                        double tickTolerance) {
    constexpr std::size_t MAX_PROBLEMS = 20;
    ReplayCheck c;
    auto problem = [&c](const std::string& text) {
        if (c.problems.size() < MAX_PROBLEMS) c.problems.push_back(text);
    };
    for (const std::string& e : result.errors) problem("harness: " + e);
    if (!stream.error.empty()) problem("stream: " + stream.error);
    if (!result.exited) problem("the program did not exit");

    std::vector<OpmWrite> writes;
    for (const OpmWrite& w : result.writes) {
        if (w.reg < 0x10 || w.reg > 0x14) writes.push_back(w);
    }
    // Writes before the key was read are the replay; after it, or after the stream's last
    // write when the song ends by itself, comes the shutdown.
    std::size_t replayed = 0;
    if (result.keyTakenNs >= 0) {
        while (replayed < writes.size() && writes[replayed].timeNs < result.keyTakenNs) ++replayed;
    } else {
        if (stream.loops && result.exited) problem("a looping song ended without a key press");
        replayed = std::min(writes.size(), stream.events.size());
        if (result.exited && replayed < stream.events.size()) {
            problem(format("the song ended after %zu of its %zu writes", replayed,
                           stream.events.size()));
        }
    }

    std::size_t bodySize = stream.events.size() - stream.loopStart;
    for (std::size_t i = 0; i < replayed; ++i) {
        StreamEvent expected;
        std::uint32_t pass = 0;
        if (i < stream.events.size()) {
            expected = stream.events[i];
        } else if (stream.loops && bodySize > 0) {
            std::size_t k = i - stream.events.size();
            pass = std::uint32_t(1 + k / bodySize);
            expected = stream.events[stream.loopStart + k % bodySize];
            expected.tick += pass * stream.loopTicks;
        } else {
            problem(format("write %zu ($%02X = $%02X) is beyond the end of the stream", i,
                           writes[i].reg, writes[i].value));
            break;
        }
        const OpmWrite& got = writes[i];
        if (got.reg != expected.reg || got.value != expected.value) {
            problem(
                format("write %zu: register $%02X = $%02X, the stream has $%02X = $%02X "
                       "(tick %u)",
                       i, got.reg, got.value, expected.reg, expected.value, expected.tick));
            break;
        }
        double error = double(got.timeNs) / TICK_NS - expected.tick;
        c.maxTickError = std::max(c.maxTickError, std::abs(error));
        if (std::abs(error) > tickTolerance) {
            problem(format("write %zu ($%02X = $%02X) at tick %.3f, the stream puts it at tick %u",
                           i, got.reg, got.value, double(got.timeNs) / TICK_NS, expected.tick));
        }
        c.loopPasses = std::max(c.loopPasses, pass);
        ++c.streamWrites;
    }

    bool keyedOff[8] = {};
    bool silent[32] = {};
    for (std::size_t i = replayed; i < writes.size(); ++i) {
        const OpmWrite& w = writes[i];
        if (w.reg == 0x08 && (w.value & 0x78) == 0) {
            keyedOff[w.value & 7] = true;
        } else if (w.reg >= 0x60 && w.reg <= 0x7F && w.value == 0x7F) {
            silent[w.reg - 0x60] = true;
        } else {
            problem(format("after the replay: register $%02X = $%02X", w.reg, w.value));
        }
    }
    if (result.exited) {
        if (std::count(std::begin(keyedOff), std::end(keyedOff), true) != 8) {
            problem("not every channel was keyed off at the end");
        }
        if (std::count(std::begin(silent), std::end(silent), true) != 32) {
            problem("not every slot's TL was set to 127 at the end");
        }
    }
    return c;
}

}  // namespace opmsim
