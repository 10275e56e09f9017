// Internal to the opmsim library: the emulated X68000's memory map and state, and the routines
// its parts share. The library's interface is opm_sim.hpp.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "opm_sim.hpp"

namespace opmsim {

// Memory map.
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
constexpr std::uint32_t DMAC_BASE = 0xE84000;   // HD63450: 4 channels of 0x40 bytes
constexpr std::uint32_t DMAC_CHANNEL3 = 0xC0;   // the ADPCM's channel, from DMAC_BASE
constexpr std::uint32_t ADPCM_BASE = 0xE92000;  // MSM6258: command/status at +1, data at +3
constexpr std::uint32_t PPI_BASE = 0xE9A000;    // 8255: port C at +5, control at +7

constexpr int MFP_REGISTERS = 24;  // register n at MFP_BASE + 2n + 1

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
    std::uint32_t entry = 0;
    std::uint32_t entrySp = 0;
    bool ownStack = false;  // the program has moved the stack pointer into its bss
    bool superByDos = false;

    // OPM.
    PlayerKind player = PlayerKind::Classic;
    bool drums = false;       // a full program whose bank offset is set
    bool loops = false;       // the stream loops with no passes set: the song plays until a key
    std::vector<bool> named;  // registers the stream writes
    std::uint8_t opmAddr = 0;
    std::uint8_t regs[256] = {};
    std::int64_t busyUntil = 0;
    bool runA = false, runB = false, flagA = false, flagB = false;
    std::int64_t nextA = 0, nextB = 0;
    std::uint8_t keyMask[8] = {};
    std::uint8_t amd = 0, pmd = 0;  // the two LFO depths that share register 0x19

    // MFP and the vector table.
    std::uint8_t mfp[MFP_REGISTERS] = {};
    std::uint8_t mfpStart[MFP_REGISTERS] = {};
    std::uint32_t opmVectorStart = 0;

    // Poll detection: I/O accesses and system calls other than status reads are counted, and
    // so are reads of the program's text and data (its stream). Two status reads by the same
    // instruction with the same value and nothing counted in between are a polling loop; a
    // player that read a pair between them (a loop marker, a skipped register) was working.
    std::uint64_t ioCount = 0;
    std::uint64_t lastStatusIo = ~std::uint64_t{0};
    std::uint32_t lastStatusPc = 0;
    std::uint8_t lastStatus = 0;

    // The key presses of the run, in time order (SimOptions::keyPressNs and keys), and the
    // first not yet taken.
    std::vector<KeyPress> presses;
    std::size_t nextKey = 0;

    // DMA channel 3, the PPI's port C and the MSM6258.
    std::uint8_t dma[0x40] = {};  // channel 3's registers by offset, big-endian
    std::int64_t nextDmaByte = 0;
    bool adpcmUsed = false;  // the program touched the DMA controller, the ADPCM or the PPI
    bool adpcmPlaying = false;
    std::uint8_t portC = PORT_C_AT_START;
};

// OPM writes that silence the chip: a key off of a channel, TL 127 on a slot, the noise off,
// an LFO depth (AMD or PMD, register 0x19) of 0, and the LFO reset released (register 0x01
// bit 1 clear).
inline bool keysOff(std::uint8_t reg, std::uint8_t value) {
    return reg == 0x08 && (value & 0x78) == 0;
}
inline bool mutesSlot(std::uint8_t reg, std::uint8_t value) {
    return reg >= 0x60 && reg <= 0x7F && value == 0x7F;
}
inline bool stopsNoise(std::uint8_t reg, std::uint8_t value) {
    return reg == 0x0F && value == 0x00;
}
inline bool clearsLfoDepth(std::uint8_t reg, std::uint8_t value) {
    return reg == 0x19 && (value & 0x7F) == 0;
}
inline bool releasesLfoReset(std::uint8_t reg, std::uint8_t value) {
    return reg == 0x01 && value == 0x00;
}

// sim_machine.cpp: access to the machine, fault reports.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::uint32_t regRead(Machine& m, int reg);
void regWrite(Machine& m, int reg, std::uint32_t value);
std::uint32_t memRead(Machine& m, std::uint32_t addr, int size);
void memWrite(Machine& m, std::uint32_t addr, std::uint32_t value, int size);
void report(Machine& m, const std::string& what);  // records a fault with its place and time
void fail(Machine& m, const std::string& what);    // records a fault and ends the run
bool supervisor(Machine& m);
void setSupervisor(Machine& m, bool on);
bool ioAccess(Machine& m, std::uint32_t addr, unsigned size, const char* kind,
              bool wordWide = false);

// x_loader.cpp: the executable.
std::string checkLoadable(const std::vector<std::uint8_t>& file, XHeader& header);
void loadProgram(Machine& m, const std::vector<std::uint8_t>& file, const XHeader& header);

// opm_chip.cpp: the YM2151.
void runTimers(Machine& m);
bool opmIrq(const Machine& m);
std::uint64_t onOpmRead(uc_engine*, std::uint64_t offset, unsigned size, void* user);
void onOpmWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user);

// mfp.cpp: the MFP and the OPM interrupt.
void resetMfp(Machine& m);
std::uint64_t onMfpRead(uc_engine*, std::uint64_t offset, unsigned size, void* user);
void onMfpWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user);
void checkOpmInterrupt(Machine& m);

// system_calls.cpp: DOS, IOCS and the other CPU exceptions.
void onInterrupt(uc_engine*, std::uint32_t number, void* user);

// adpcm_dma.cpp: DMA channel 3, the PPI's port C and the MSM6258, held to strict rules.
void resetAdpcm(Machine& m);
void runAdpcmDma(Machine& m);
void checkAdpcmExitState(Machine& m);
bool adpcmTransferring(const Machine& m);  // DMA channel 3 active
std::uint64_t onDmacRead(uc_engine*, std::uint64_t offset, unsigned size, void* user);
void onDmacWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user);
std::uint64_t onAdpcmRead(uc_engine*, std::uint64_t offset, unsigned size, void* user);
void onAdpcmWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user);
std::uint64_t onPpiRead(uc_engine*, std::uint64_t offset, unsigned size, void* user);
void onPpiWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user);

// drum_check.cpp: the drums' starts of a full program's stream against the samples played, its
// side changes against port C's writes.
// `stopsNs`: where the player stopped the ADPCM of its own accord (an album's pauses), in the
// stream's time.
void checkDrums(const DecodedStream& stream, const SimResult& result,
                std::vector<std::string>& problems, const std::vector<std::int64_t>& stopsNs = {});

// stream_check.cpp: a song's writes in a run against its stream. `writes` are the run's writes
// from the stream's first on (timer registers and start-up writes left out), `originNs` the
// stream's step 0, `keyNs` when a key stopped it (-1: none); `stopped` says the song stopped
// (the program exited, or a clean state followed) and `stopNs` when, should no write follow
// the replay. Adds what it finds to `c` (through `problem`); returns how many of `writes` are
// the replay: those after it are the shutdown's.
// The bank of a full program whose player's bank offset is set: the table at that text offset,
// as many entries as the first one's offset holds, each sample before `textEnd` (a file
// offset). Returns what is wrong, or an empty string.
std::string readBank(const std::vector<std::uint8_t>& file, std::uint64_t textEnd,
                     std::vector<BankSample>& bank);
// The writes the player makes before the stream's first pair: PLAYER_START_WRITES, and with
// drums 0x1B with CT1 clear (the ADPCM clock at 8 MHz).
std::vector<PlayerWrite> playerStartWrites(bool drums, std::uint8_t systemCopy1B);
struct SongStop {
    std::int64_t keyNs = -1;
    bool stopped = false;
    std::int64_t stopNs = -1;
};
std::size_t matchSongWrites(const DecodedStream& stream, const std::vector<OpmWrite>& writes,
                            std::int64_t originNs, const SongStop& stop, std::uint8_t systemCopy1B,
                            double tickTolerance, ReplayCheck& c,
                            const std::function<void(const std::string&)>& problem);

// run_loop.cpp: the state a program must leave behind, and the end of a run that reaches the
// time limit (at that time at the latest).
void checkExitState(Machine& m);
void failAtTimeLimit(Machine& m);

}  // namespace opmsim
