// The run: the cost of each instruction and memory access in virtual time, the checks made on
// each of them, and the state a program must leave behind when it exits.

#include <algorithm>

#include "sim_machine.hpp"

namespace opmsim {

namespace {

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
        failAtTimeLimit(m);
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
    checkOpmInterrupt(m);
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
    if (!write && address >= m.text && address < m.bssStart) ++m.ioCount;  // see Machine
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

// Seconds as short as they can be written: 600, 2.5, 0.000001.
std::string shortSeconds(std::int64_t ns) {
    std::string text = format("%.9f", double(ns) / 1e9);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

void failAtTimeLimit(Machine& m) {
    std::string what =
        "still running at the time limit (" + shortSeconds(m.opt.timeLimitNs) + " s)";
    // A looping song never ends by itself: its player stops at a key press.
    if (m.loops && m.nextKey == 0) {
        if (m.presses.empty()) {
            what += ": the song loops; --key-at SECONDS presses a key to stop it";
        } else if (m.presses[0].timeNs > m.opt.timeLimitNs) {
            what += m.presses[0].timeNs == m.opt.keyPressNs
                        ? ": the song loops and the key press (--key-at " +
                              shortSeconds(m.opt.keyPressNs) + ") comes after the limit"
                        : ": the song loops and the first key press (at " +
                              shortSeconds(m.presses[0].timeNs) + " s) comes after the limit";
        }
    }
    fail(m, what);
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
    if (m.regs[0x0F] & 0x80) report(m, format("noise left on at exit ($0F = $%02X)", m.regs[0x0F]));
    if (m.amd || m.pmd) {
        report(m, format("LFO depth left at AMD %d, PMD %d at exit", m.amd, m.pmd));
    }
    // The full player's streams set the LFO reset and clear it in the next pair; a key read
    // between the two must not leave the LFO stopped for the programs that come after.
    if (m.player == PlayerKind::Full && (m.regs[0x01] & 0x02)) {
        report(m, format("LFO left held in reset at exit ($01 = $%02X)", m.regs[0x01]));
    }
    const std::uint8_t copy = m.opt.systemCopy1B;
    if (m.regs[0x1B] != copy) {
        report(m, format("register $1B left at $%02X at exit; the system's copy at $09DA is $%02X",
                         m.regs[0x1B], copy));
    }
    if (memRead(m, SYSTEM_1B_COPY_ADDRESS, 1) != copy) {
        report(m, "the system's copy of register $1B at $09DA changed");
    }
    checkAdpcmExitState(m);
}

SimResult runProgram(const std::vector<std::uint8_t>& file, const SimOptions& options) {
    SimResult res;
    XHeader h;
    std::string error = checkLoadable(file, h);
    if (!error.empty()) {
        res.errors.push_back(error);
        return res;
    }

    Machine m;
    m.opt = options;
    m.res = &res;
    m.nsPerCycle =
        std::max<std::int64_t>(1, 1'000'000'000 / std::max<std::uint32_t>(1, options.cpuHz));
    m.player = res.player = options.player.value_or(detectPlayer(file));
    res.systemCopy1B = options.systemCopy1B;
    const DecodedStream decoded = decodeExecutableStream(file, m.player);
    m.named = decoded.named;
    m.drums = decoded.drums;
    m.loops = decoded.loops && !decoded.fades;
    // An album: the registers of every track, and whether it plays until a key: it repeats,
    // or one of its tracks loops until one (the head's stream, track 1 without its passes,
    // does not say).
    if (const std::optional<AlbumTable> album = decodeAlbum(file); album && album->error.empty()) {
        m.loops = album->repeat;
        for (const AlbumTrack& track : album->tracks) {
            for (std::size_t r = 0; r < m.named.size(); ++r)
                if (track.stream.named[r]) m.named[r] = true;
            if (track.stream.loops && !track.stream.fades) m.loops = true;
        }
    }
    if (options.keyPressNs >= 0) m.presses.push_back({options.keyPressNs, KEY_SPACE});
    m.presses.insert(m.presses.end(), options.keys.begin(), options.keys.end());
    std::stable_sort(m.presses.begin(), m.presses.end(),
                     [](const KeyPress& a, const KeyPress& b) { return a.timeNs < b.timeNs; });

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
    uc_mmio_map(m.uc, DMAC_BASE, IO_WINDOW, onDmacRead, &m, onDmacWrite, &m);
    uc_mmio_map(m.uc, ADPCM_BASE, IO_WINDOW, onAdpcmRead, &m, onAdpcmWrite, &m);
    uc_mmio_map(m.uc, PPI_BASE, IO_WINDOW, onPpiRead, &m, onPpiWrite, &m);
    resetAdpcm(m);
    loadProgram(m, file, h);

    uc_hook hooks[4];
    uc_hook_add(m.uc, &hooks[0], UC_HOOK_CODE, reinterpret_cast<void*>(onCode), &m, 1, 0);
    uc_hook_add(m.uc, &hooks[1], UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                reinterpret_cast<void*>(onMemory), &m, 0, RAM_SIZE - 1);
    uc_hook_add(m.uc, &hooks[2], UC_HOOK_INTR, reinterpret_cast<void*>(onInterrupt), &m, 1, 0);
    uc_hook_add(m.uc, &hooks[3], UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(onUnmapped), &m, 1,
                0);

    m.lastPc = m.entry;
    err = uc_emu_start(m.uc, m.entry, 0xFFFFFFFF, 0, 0);
    if (err != UC_ERR_OK && !m.stopped) {
        report(m, std::string("emulation stopped: ") + uc_strerror(err));
    } else if (!res.exited && res.errors.empty()) {
        report(m, "the program stopped without calling DOS _EXIT");
    }
    res.endNs = m.now;
    uc_close(m.uc);
    return res;
}

}  // namespace opmsim
