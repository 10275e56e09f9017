// The YM2151 (OPM) as a player sees it: the register-number and data ports, the BUSY flag, timers
// A and B with their status flags and IRQ line, and the registers a song may write.

#include <algorithm>

#include "sim_machine.hpp"

namespace opmsim {

namespace {

// OPM timing at 4 MHz: BUSY lasts 64 clock cycles after a data write; timer A counts in units
// of 64 cycles, timer B in units of 1024.
constexpr std::int64_t OPM_BUSY_NS = 16'000;
constexpr std::int64_t TIMER_A_UNIT_NS = 16'000;
constexpr std::int64_t TIMER_B_UNIT_NS = 256'000;

std::int64_t timerAPeriod(const Machine& m) {
    int na = m.regs[0x10] << 2 | (m.regs[0x11] & 3);
    return TIMER_A_UNIT_NS * (1024 - na);
}

std::int64_t timerBPeriod(const Machine& m) {
    return TIMER_B_UNIT_NS * (256 - m.regs[0x12]);
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

// LOAD starts a stopped timer with a full period; set again on a running timer it changes
// nothing.
void loadTimer(const Machine& m, bool load, bool& running, std::int64_t& next,
               std::int64_t period) {
    if (!load) {
        running = false;
    } else if (!running) {
        running = true;
        next = m.now + period;
    }
}

void writeTimerControl(Machine& m, std::uint8_t value) {
    if (value & 0x80) {
        fail(m, "set CSM in register $14: every timer A overflow would key on all slots");
        return;
    }
    if (value & 0x10) m.flagA = false;
    if (value & 0x20) m.flagB = false;
    m.regs[0x14] = value;
    if ((value & 0x01) && !m.runA && m.res->timerAStartNs < 0) m.res->timerAStartNs = m.now;
    loadTimer(m, value & 0x01, m.runA, m.nextA, timerAPeriod(m));
    loadTimer(m, value & 0x02, m.runB, m.nextB, timerBPeriod(m));
}

// Register 0x1B: bits 7-6 drive other X68000 hardware (CT1 the ADPCM clock, CT2 the floppy
// READY line). The classic player never writes it; the full player must keep those bits as the
// system's copy at $09DA holds them, but for CT1 in a program with drums: clear (8 MHz) while
// it plays, the copy again only once the ADPCM is stopped.
void writeControlLines(Machine& m, std::uint8_t value) {
    const std::uint8_t copy = m.opt.systemCopy1B;
    const std::uint8_t kept = m.drums ? 0x40 : 0xC0;
    if (m.player != PlayerKind::Full) {
        fail(m,
             "wrote register $1B: its bits 7-6 drive the ADPCM clock and the floppy "
             "READY line");
    } else if ((value ^ copy) & kept) {
        fail(m,
             format("wrote $%02X to register $1B: bits %s differ from the system's copy $%02X "
                    "at $09DA",
                    value, m.drums ? "6 (floppy READY)" : "7-6 (ADPCM clock, floppy READY)", copy));
    } else if (m.drums && (value & 0x80) && (m.adpcmPlaying || adpcmTransferring(m))) {
        fail(m, format("wrote $%02X to register $1B while a sample plays: the ADPCM clock drops "
                       "to 4 MHz",
                       value));
    } else if (m.drums && (value & 0x80) && value != copy) {
        fail(m, format("wrote $%02X to register $1B: with drums CT1 stays clear until the copy "
                       "$%02X is written back",
                       value, copy));
    } else if (!m.named[0x1B] && value != copy && !(m.drums && value == (copy & 0x43))) {
        fail(m, format("wrote $%02X to register $1B, which the stream never names", value));
    } else {
        m.regs[0x1B] = value;
    }
}

void writeRegister(Machine& m, std::uint8_t reg, std::uint8_t value) {
    switch (reg) {
        case 0x1B:
            writeControlLines(m, value);
            return;
        case 0x10:
        case 0x11:
        case 0x12:
            m.regs[reg] = value;  // a new timer value applies from the next reload
            return;
        case 0x14:
            writeTimerControl(m, value);
            return;
        case 0x01:
            if (value & ~0x02) {
                fail(m, format("wrote $%02X to register $01: bits other than 1 (LFO reset) are the "
                               "chip's test modes",
                               value));
                return;
            }
            break;
        default:
            break;
    }
    // Clearing the LFO depths at the start and silencing the chip at the end are allowed
    // whatever the stream held.
    if (!m.named[reg] && !clearsLfoDepth(reg, value) && !keysOff(reg, value) &&
        !mutesSlot(reg, value) && !stopsNoise(reg, value) && !releasesLfoReset(reg, value)) {
        fail(m, format("wrote $%02X to register $%02X, which the stream never names", value, reg));
        return;
    }
    m.regs[reg] = value;
    if (reg == 0x08) m.keyMask[value & 7] = (value >> 3) & 0x0F;
    if (reg == 0x19) (value & 0x80 ? m.pmd : m.amd) = value & 0x7F;
}

}  // namespace

// Runs the timers up to the current time, and the ADPCM's DMA transfers with them. A timer
// reloads itself from its register at every overflow, and raises its status flag only when
// its IRQEN bit is set.
void runTimers(Machine& m) {
    runAdpcmDma(m);
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

std::uint64_t onOpmRead(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (!ioAccess(m, OPM_BASE + std::uint32_t(offset), size, "read")) return 0xFF;
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
        } else if (next > m.opt.timeLimitNs) {
            m.now = std::max(m.now, m.opt.timeLimitNs);  // the run ends at the limit, not after
            failAtTimeLimit(m);
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

}  // namespace opmsim
