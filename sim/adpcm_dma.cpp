// The X68000's ADPCM path as a player drives it: channel 3 of the HD63450 DMA controller
// takes bytes from memory to the MSM6258's data port at the chip's rate (two 4-bit samples a
// byte), PPI port C sets the rate's divider and mutes either side, and the MSM6258 plays or
// stops. Held to the strictest rules the emulators know: a start with stale status bits, a
// zero count, a register written while the channel runs, a device other than the ADPCM's data
// port, interrupts the system's handler would take, a sample left unstopped: each a fault.

#include <algorithm>
#include <iterator>

#include "sim_machine.hpp"

namespace opmsim {

namespace {

// Channel 3's registers, by offset in its block.
constexpr int CSR = 0x00, CER = 0x01, DCR = 0x04, OCR = 0x05, SCR = 0x06, CCR = 0x07, MTC = 0x0A,
              MAR = 0x0C, DAR = 0x14, MFC = 0x29, DFC = 0x31, GCR = 0x3F;
constexpr std::uint8_t COC = 0x80, BTC = 0x40, NDT = 0x20, ERR = 0x10, ACT = 0x08;
constexpr std::uint8_t STR = 0x80, CNT = 0x40, HLT = 0x20, SAB = 0x10, INT = 0x08;
constexpr std::uint32_t ADPCM_DATA_PORT = ADPCM_BASE + 3;

std::uint32_t dmaLong(const Machine& m, int at) {
    return std::uint32_t(m.dma[at]) << 24 | m.dma[at + 1] << 16 | m.dma[at + 2] << 8 |
           m.dma[at + 3];
}
std::uint16_t dmaWord(const Machine& m, int at) {
    return std::uint16_t(m.dma[at] << 8 | m.dma[at + 1]);
}
void setDmaLong(Machine& m, int at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) m.dma[at + i] = std::uint8_t(value >> (24 - 8 * i));
}
void setDmaWord(Machine& m, int at, std::uint16_t value) {
    m.dma[at] = std::uint8_t(value >> 8);
    m.dma[at + 1] = std::uint8_t(value);
}

// Time between two bytes: two samples at the ADPCM clock (8 MHz, or 4 MHz with OPM register
// 0x1B bit 7 set) over port C's divider; 0 for the divider the chip does not define.
std::int64_t byteNs(const Machine& m) {
    static const int DIVIDERS[4] = {1024, 768, 512, 0};
    const int divider = DIVIDERS[(m.portC >> 2) & 3];
    const std::int64_t clock = (m.regs[0x1B] & 0x80) ? 4'000'000 : 8'000'000;
    return divider == 0 ? 0 : 2 * divider * 1'000'000'000LL / clock;
}

AdpcmPlay* currentPlay(Machine& m) {
    return m.res->adpcm.empty() ? nullptr : &m.res->adpcm.back();
}

// A device of the ADPCM path reached by the program: in supervisor mode, at an odd byte for
// the byte-wide ones; word and long accesses only on the DMA controller.
bool deviceAccess(Machine& m, std::uint32_t addr, unsigned size, const char* kind, bool wide) {
    m.adpcmUsed = true;
    return ioAccess(m, addr, size, kind, wide);
}

void startTransfer(Machine& m) {
    const std::uint8_t status = m.dma[CSR] & (COC | BTC | NDT | ERR | ACT);
    const std::uint16_t count = dmaWord(m, MTC);
    const std::uint32_t address = dmaLong(m, MAR) & 0xFFFFFF;
    if (status) {
        fail(m, format("DMA channel 3 started with stale status bits $%02X in CSR (clear them "
                       "with $FF first)",
                       status));
    } else if (count == 0) {
        fail(m, "DMA channel 3 started with a zero count (MTC)");
    } else if (dmaLong(m, DAR) != ADPCM_DATA_PORT) {
        fail(m, format("DMA channel 3's device address $%08X is not the ADPCM's data port $%06X",
                       dmaLong(m, DAR), ADPCM_DATA_PORT));
    } else if ((m.dma[OCR] & 0x80) || (m.dma[OCR] & 0x0F) != 0x02 || ((m.dma[OCR] >> 4) & 3) == 1 ||
               ((m.dma[OCR] >> 4) & 3) == 2) {
        fail(m, format("OCR $%02X: the ADPCM takes bytes from memory, without a chain, on its "
                       "request line ($32 or $02)",
                       m.dma[OCR]));
    } else if (m.dma[SCR] != 0x04 || (m.dma[DCR] & 0x08)) {
        fail(m, format("SCR $%02X / DCR $%02X: the memory address must count up, the device's "
                       "stay, on an 8-bit port ($04 / $80)",
                       m.dma[SCR], m.dma[DCR]));
    } else if (address < m.text || address + count > m.bssEnd) {
        fail(m, format("DMA transfer of %u bytes from $%06X lies outside the program", count,
                       address));
    } else if (byteNs(m) == 0) {
        fail(m, "port C's divider bits are %11, which the MSM6258 does not define");
    } else if (const AdpcmPlay* last = currentPlay(m); last && last->stopNs < 0) {
        fail(m, "a sample started before the ADPCM was stopped ($E92001 <- $01) after the last");
    }
    if (m.stopped) return;
    m.dma[CSR] |= ACT;
    m.res->adpcm.push_back({m.now, -1, -1, address, count, m.portC, false, {}});
    m.nextDmaByte = m.now + byteNs(m);
}

void writeChannelControl(Machine& m, std::uint8_t value) {
    if (value & (CNT | HLT)) {
        fail(m, format("CCR $%02X: the player only starts ($80) and aborts ($10)", value));
        return;
    }
    if (value & INT) {
        fail(m, format("CCR $%02X enables channel 3's interrupt: the system's ADPCM handler would "
                       "run behind the player",
                       value));
        return;
    }
    if (value & SAB) {
        if (m.dma[CSR] & ACT) {
            m.dma[CSR] = std::uint8_t((m.dma[CSR] & ~ACT) | COC | ERR);
            m.dma[CER] = 0x11;
            if (AdpcmPlay* play = currentPlay(m)) play->endNs = m.now, play->aborted = true;
        }
        return;
    }
    if (value & STR) startTransfer(m);
}

void writeChannel(Machine& m, int at, std::uint8_t value) {
    const bool running = m.dma[CSR] & ACT;
    switch (at) {
        case CSR:  // writing 1 clears a status bit; ACT and PCS stay
            m.dma[CSR] &= std::uint8_t(~(value & 0xF6));
            if (value & ERR) m.dma[CER] = 0;
            return;
        case CER:
            fail(m, "write to channel 3's CER, which is read-only");
            return;
        case CCR:
            writeChannelControl(m, value);
            return;
        case GCR:
            fail(m, "write to the DMA controller's GCR, which the system sets for every channel");
            return;
        default:
            break;
    }
    const bool locked = at == DCR || at == OCR || at == SCR || (at >= MTC && at < MTC + 2) ||
                        (at >= MAR && at < MAR + 4) || (at >= DAR && at < DAR + 4) || at == MFC ||
                        at == DFC;
    if (locked && running) {
        fail(m, format("channel 3's register at +$%02X written while the channel runs", at));
        return;
    }
    m.dma[at] = value;
}

}  // namespace

void resetAdpcm(Machine& m) {
    std::fill(std::begin(m.dma), std::end(m.dma), 0);
    // As an earlier transfer (the system's own sounds) leaves it: a start must clear it first.
    m.dma[CSR] = COC;
    m.portC = PORT_C_AT_START;
    m.adpcmPlaying = false;
    m.adpcmUsed = false;
}

void runAdpcmDma(Machine& m) {
    while ((m.dma[CSR] & ACT) && m.nextDmaByte <= m.now) {
        AdpcmPlay& play = m.res->adpcm.back();
        const std::uint32_t address = dmaLong(m, MAR) & 0xFFFFFF;
        play.bytes.push_back(std::uint8_t(memRead(m, address, 1)));
        setDmaLong(m, MAR, dmaLong(m, MAR) + 1);
        const std::uint16_t left = std::uint16_t(dmaWord(m, MTC) - 1);
        setDmaWord(m, MTC, left);
        if (left == 0) {
            m.dma[CSR] = std::uint8_t((m.dma[CSR] & ~ACT) | COC);
            play.endNs = m.nextDmaByte;
        }
        m.nextDmaByte += byteNs(m);
    }
}

bool adpcmTransferring(const Machine& m) {
    return m.dma[CSR] & ACT;
}

void checkAdpcmExitState(Machine& m) {
    if (!m.adpcmUsed) return;
    if (m.dma[CSR] & ACT) report(m, "DMA channel 3 still running at exit");
    if (m.dma[CSR] & (COC | BTC | NDT | ERR))
        report(m, format("status bits $%02X left in channel 3's CSR at exit", m.dma[CSR] & 0xF0));
    if (m.adpcmPlaying) report(m, "ADPCM still playing at exit ($E92001 <- $01 missing)");
    if ((m.portC & 0x03) != 0x03)
        report(m, format("ADPCM output left on at exit (port C bits 1-0 = %d%d)",
                         (m.portC >> 1) & 1, m.portC & 1));
}

std::uint64_t onDmacRead(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    const std::uint32_t addr = DMAC_BASE + std::uint32_t(offset);
    if (!deviceAccess(m, addr, size, "read", true)) return 0;
    if (offset < DMAC_CHANNEL3 || offset + size > DMAC_CHANNEL3 + 0x40) {
        fail(m, format("read of the DMA controller at $%06X: the ADPCM's channel is 3", addr));
        return 0;
    }
    std::uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i) value = value << 8 | m.dma[offset - DMAC_CHANNEL3 + i];
    return value;
}

void onDmacWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    const std::uint32_t addr = DMAC_BASE + std::uint32_t(offset);
    if (!deviceAccess(m, addr, size, "write", true)) return;
    if (offset < DMAC_CHANNEL3 || offset + size > DMAC_CHANNEL3 + 0x40) {
        fail(m, format("write to the DMA controller at $%06X: the ADPCM's channel is 3", addr));
        return;
    }
    for (unsigned i = 0; i < size && !m.stopped; ++i)
        writeChannel(m, int(offset - DMAC_CHANNEL3 + i),
                     std::uint8_t(value >> (8 * (size - 1 - i))));
}

std::uint64_t onAdpcmRead(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (!deviceAccess(m, ADPCM_BASE + std::uint32_t(offset), size, "read", false)) return 0xFF;
    return m.adpcmPlaying ? 0x00 : 0x80;  // bit 7: stopped
}

void onAdpcmWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value,
                  void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (!deviceAccess(m, ADPCM_BASE + std::uint32_t(offset), size, "write", false)) return;
    if ((offset & 3) == 3) {
        fail(m, "the CPU wrote the ADPCM's data port, which DMA channel 3 feeds");
        return;
    }
    if (value & 0x01) {  // stop wins
        m.adpcmPlaying = false;
        if (AdpcmPlay* play = currentPlay(m); play && play->stopNs < 0) play->stopNs = m.now;
    } else if (value & 0x04) {
        fail(m, "the ADPCM was told to record");
    } else if (value & 0x02) {
        if (m.drums && (m.regs[0x1B] & 0x80)) {
            fail(m,
                 "the ADPCM told to play with register $1B's CT1 set: a 4 MHz clock, the "
                 "drums an octave down");
            return;
        }
        // The pan and rate of a sample are those set when it is told to play.
        if (AdpcmPlay* play = currentPlay(m); play && !m.adpcmPlaying && play->stopNs < 0)
            play->portC = m.portC;
        m.adpcmPlaying = true;
    }
}

std::uint8_t portCAt(const SimResult& result, std::int64_t timeNs) {
    const auto after =
        std::upper_bound(result.portC.begin(), result.portC.end(), timeNs,
                         [](std::int64_t t, const PortCWrite& w) { return t < w.timeNs; });
    return after == result.portC.begin() ? PORT_C_AT_START : std::prev(after)->value;
}

std::uint64_t onPpiRead(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (!deviceAccess(m, PPI_BASE + std::uint32_t(offset), size, "read", false)) return 0xFF;
    return (offset & 7) == 5 ? m.portC : 0xFF;  // ports A and B: the joysticks, idle
}

void onPpiWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    if (!deviceAccess(m, PPI_BASE + std::uint32_t(offset), size, "write", false)) return;
    const auto byte = std::uint8_t(value);
    if ((offset & 7) == 5) {
        if ((byte & 0xF0) != (m.portC & 0xF0)) {
            fail(m, format("port C written as $%02X: bits 7-4 (the joysticks') were $%X", byte,
                           m.portC >> 4));
            return;
        }
        m.portC = byte;
        m.res->portC.push_back({m.now, m.portC, adpcmTransferring(m)});
    } else if ((offset & 7) == 7) {
        const int bit = (byte >> 1) & 7;
        if ((byte & 0x80) || bit >= 4) {
            fail(m, format("PPI control word $%02X: only port C bits 0-3 are the ADPCM's", byte));
            return;
        }
        m.portC = std::uint8_t((m.portC & ~(1 << bit)) | (byte & 1) << bit);
        m.res->portC.push_back({m.now, m.portC, adpcmTransferring(m)});
    } else {
        fail(m, format("write to the PPI at $%06X, the joysticks' port",
                       PPI_BASE + std::uint32_t(offset)));
    }
}

}  // namespace opmsim
