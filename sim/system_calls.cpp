// The DOS calls (line-F opcodes $FFxx) and IOCS calls (TRAP #15) a player makes; any other CPU
// exception is a fault.

#include <algorithm>

#include "sim_machine.hpp"

namespace opmsim {

namespace {

// Unicorn exception numbers for the 68000.
constexpr std::uint32_t EXC_LINE_F = 11;
constexpr std::uint32_t EXC_TRAP_15 = 47;
constexpr std::uint32_t EXC_RTE = 0x100;

// Returns from a call with its result in d0, past the 2-byte call instruction. Data registers
// get garbage, address registers odd addresses in unmapped space, so that a program relying on
// them after the call fails loudly.
void returnFromCall(Machine& m, std::uint32_t pc, std::uint32_t d0) {
    if (m.opt.scrambleRegisters) {
        for (int i = 1; i <= 7; ++i) {
            regWrite(m, UC_M68K_REG_D0 + i, 0x5CA3B1E0u + 0x01010101u * i);
        }
        for (int i = 0; i <= 6; ++i) regWrite(m, UC_M68K_REG_A0 + i, 0x00F00001u + 0x100u * i);
    }
    regWrite(m, UC_M68K_REG_D0, d0);
    regWrite(m, UC_M68K_REG_PC, pc + 2);
}

void endProgram(Machine& m, int code) {
    m.res->exited = true;
    m.res->exitCode = code;
    checkExitState(m);
    m.stopped = true;
    uc_emu_stop(m.uc);
}

// The longest string a console call may print: longer, it is taken as one without its NUL.
constexpr std::uint32_t LONGEST_STRING = 0x10000;

// Reads the NUL-terminated string at `address` into `text`; false (and the run failed) if it
// leaves main memory or has no NUL within LONGEST_STRING bytes.
bool readString(Machine& m, std::uint32_t address, const char* call, std::string& text) {
    for (std::uint32_t i = 0; i < LONGEST_STRING; ++i) {
        if (address + i >= RAM_SIZE) {
            fail(m, format("DOS %s: the string at $%06X runs out of main memory", call, address));
            return false;
        }
        const std::uint8_t byte = std::uint8_t(memRead(m, address + i, 1));
        if (byte == 0) return true;
        text.push_back(char(byte));
    }
    fail(m, format("DOS %s: no NUL within %u bytes of the string at $%06X", call, LONGEST_STRING,
                   address));
    return false;
}

// Text going to the screen: recorded with the time of the call, then the time the console
// takes to draw it, during which the OPM timers run on.
void printText(Machine& m, std::string text) {
    if (text.empty()) return;
    m.res->console.push_back({m.now, text});
    m.now += m.opt.consoleCharNs * std::int64_t(text.size());
    runTimers(m);
}

// DOS _CONCTRL: mode 0 puts the character of the word at 2(sp) (a Shift-JIS pair as one word,
// lead byte high), mode 1 prints the string whose address is the long at 2(sp), mode 3 moves
// the cursor to the column and row of the words at 2(sp) and 4(sp), mode 10 erases the screen
// (the word at 2(sp): 0 from the cursor on, 1 up to the cursor, 2 all of it; the cursor stays).
// The cursor moves and erasures are recorded as the console's own escape sequences, ESC [ row;
// column H and ESC [ n J, which mean the same on the X68000. Other modes (attributes, scrolling,
// a cursor query) are not used by a player.
bool consoleControl(Machine& m, std::uint32_t sp) {
    const std::uint32_t mode = memRead(m, sp, 2);
    std::string text;
    if (mode == 0) {
        const std::uint32_t word = memRead(m, sp + 2, 2);
        if (word >> 8) text.push_back(char(word >> 8));
        text.push_back(char(word & 0xFF));
    } else if (mode == 1) {
        if (!readString(m, memRead(m, sp + 2, 4), "_CONCTRL", text)) return false;
    } else if (mode == 3) {
        const std::uint32_t column = memRead(m, sp + 2, 2), row = memRead(m, sp + 4, 2);
        if (column >= SCREEN_COLUMNS || row >= SCREEN_ROWS) {
            fail(m, format("DOS _CONCTRL 3: the cursor to column %d, row %d, off the %dx%d screen",
                           int(std::int16_t(column)), int(std::int16_t(row)), SCREEN_COLUMNS,
                           SCREEN_ROWS));
            return false;
        }
        text = format("\x1b[%u;%uH", row + 1, column + 1);
    } else if (mode == 10) {
        const std::uint32_t part = memRead(m, sp + 2, 2);
        if (part > 2) {
            fail(m, format("DOS _CONCTRL 10 with %u (0 to 2)", part));
            return false;
        }
        text = format("\x1b[%uJ", part);
    } else {
        fail(m, format("unknown DOS _CONCTRL mode %u", mode));
        return false;
    }
    printText(m, std::move(text));
    return true;
}

// The press _B_KEYSNS reports and _B_KEYINP takes: the earliest one not taken yet whose time
// has come; nothing if none.
const KeyPress* keyWaiting(const Machine& m) {
    if (m.nextKey >= m.presses.size() || m.presses[m.nextKey].timeNs > m.now) return nullptr;
    return &m.presses[m.nextKey];
}

void iocsCall(Machine& m, std::uint32_t pc) {
    std::uint8_t number = std::uint8_t(regRead(m, UC_M68K_REG_D0));
    std::uint32_t d0 = 0;
    switch (number) {
        case 0x01:  // _B_KEYSNS: key code if one is waiting, 0 otherwise; the key stays
            if (const KeyPress* key = keyWaiting(m)) d0 = key->code;
            break;
        case 0x00:  // _B_KEYINP: waits for a key and takes it out of the buffer
            if (!keyWaiting(m)) {
                if (m.nextKey >= m.presses.size()) {
                    fail(m, "IOCS _B_KEYINP waits for a key that never comes");
                    return;
                }
                const std::int64_t pressNs = m.presses[m.nextKey].timeNs;
                if (pressNs > m.opt.timeLimitNs) {
                    // The run ends at the limit, not at the key.
                    m.now = std::max(m.now, m.opt.timeLimitNs);
                    failAtTimeLimit(m);
                    return;
                }
                m.now = pressNs;
                runTimers(m);
            }
            d0 = m.presses[m.nextKey++].code;
            if (m.res->keyTakenNs < 0) m.res->keyTakenNs = m.now;
            m.res->keysTaken.push_back({m.now, std::uint16_t(d0)});
            break;
        default:
            fail(m, format("unknown IOCS call $%02X", number));
            return;
    }
    returnFromCall(m, pc, d0);
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
        case 0xFF09: {  // _PRINT: the string whose address is the long at (sp)
            std::string text;
            if (!readString(m, memRead(m, sp, 4), "_PRINT", text)) return;
            printText(m, std::move(text));
            break;
        }
        case 0xFF23:  // _CONCTRL
            if (!consoleControl(m, sp)) return;
            break;
        default:
            fail(m, format("unknown DOS call $%04X", opcode));
            return;
    }
    returnFromCall(m, pc, d0);
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

}  // namespace

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

}  // namespace opmsim
