// Replays a Human68k ".x" music program on an emulated 68000 (Unicorn engine) with a model of the
// X68000 parts a player touches: the YM2151 (OPM) ports, its timers at 4 MHz, the MFP interrupt
// enables, and the DOS and IOCS calls the player makes. Time is virtual: every instruction,
// memory access and system call costs a fixed amount, and a loop that only polls the OPM status
// skips ahead to the moment that status changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "full/player/full_player.hpp"
#include "player/player_writes.hpp"

namespace opmsim {

// One replay tick, 787/44100 s, in nanoseconds.
inline constexpr double TICK_NS = 787.0 * 1e9 / 44100.0;

// The unit of a stream's waits, a step: a tick for the classic player; one overflow of timer A,
// a fifth of a tick (787/5 VGM samples, 3.569 ms on average), for the full player.
inline constexpr std::uint32_t CLASSIC_STEPS_PER_TICK = 1;
inline constexpr std::uint32_t FULL_STEPS_PER_TICK = 5;

// Layout of a song: the player's head (header and code), then the register stream (and, for
// the full player, the drums' bank and the display block), then the player's 12 data bytes.
// The classic player's head is 434 bytes, the full player's FULL_PLAYER_HEAD_SIZE.
inline constexpr std::size_t HEADER_SIZE = 64;
inline constexpr std::size_t STREAM_OFFSET = 434;
inline constexpr std::size_t FULL_STREAM_OFFSET = FULL_PLAYER_HEAD_SIZE;
inline constexpr std::size_t STUB_TAIL_SIZE = 12;
inline constexpr std::size_t STUB_SIZE = STREAM_OFFSET + STUB_TAIL_SIZE;

// Human68k executable header, fields as stored (big-endian in the file).
struct XHeader {
    std::uint8_t loadMode = 0;
    std::uint32_t baseAddress = 0;
    std::uint32_t entry = 0;
    std::uint32_t textSize = 0;
    std::uint32_t dataSize = 0;
    std::uint32_t bssSize = 0;
    std::uint32_t relocSize = 0;
    std::uint32_t symbolSize = 0;
    std::uint32_t bindOffset = 0;
};

// Which player a program carries: the full player of opmcast-full when the program's head
// (FULL_PLAYER_HEAD_SIZE bytes), the text size at offsets 12-15 and the fields the converter
// sets at 66-75 (bank, display, loops) aside, is that of the full player built into this
// library (full/player); the classic player vgmstub otherwise. The two
// read different streams (waits, reserved commands, register 0x1B) and leave the chip differently.
enum class PlayerKind { Classic, Full };
PlayerKind detectPlayer(const std::vector<std::uint8_t>& file);
inline std::size_t streamOffset(PlayerKind player) {
    return player == PlayerKind::Full ? FULL_STREAM_OFFSET : STREAM_OFFSET;
}

// The loops word of a full program (FULL_PLAYER_LOOPS_OFFSET); 0 for any other program.
std::uint16_t fullProgramPasses(const std::vector<std::uint8_t>& file);

// Reads the header; returns an empty string on success, else what is wrong.
std::string parseXHeader(const std::vector<std::uint8_t>& file, XHeader& header);

// Builds a song executable exactly as the converter does: stub head, stream, stub tail, and the
// text size at offsets 13-15 set to length - 76 (offset 12 keeps the stub's byte).
std::vector<std::uint8_t> buildExecutable(const std::vector<std::uint8_t>& stub,
                                          const std::vector<std::uint8_t>& stream);

// One register write of the stream, at the step the stream puts it.
struct StreamEvent {
    std::uint32_t step = 0;
    std::uint8_t reg = 0;
    std::uint8_t value = 0;
};

// An ADPCM command of the full player's stream: 00 F0 (stop), 00 F1-F3 (start a sample on
// the sides of bits 1-0: bit 1 left, bit 0 right) with the sample's number, or 00 F4-F7 (the
// sample playing goes on on the sides of bits 1-0; F4 neither; no number).
struct AdpcmCommand {
    std::uint32_t step = 0;
    std::uint8_t command = 0xF0;
    std::uint16_t sample = 0;
};

// One entry of the drums' bank table: the sample's bytes (empty when it is left out) and port
// C's divider bits.
struct BankSample {
    std::vector<std::uint8_t> bytes;
    std::uint8_t dividerBits = 0;
};

// A register stream as the player replays it: `events[0 .. loopStart)` once, then (if `loops`)
// `events[loopStart ..]` over and over, or, when the stream `fades`, `passes` times and then
// `fadeEvents` once. Times are in steps, the unit of the player's waits (`stepsPerTick` of them
// a tick). Steps of the repeated part count from the start of the stream for the first pass;
// every later pass adds `loopSteps`. An event of register 0x1B holds the stream's value; the
// full player merges it with the system's copy when it writes it.
struct DecodedStream {
    PlayerKind player = PlayerKind::Classic;
    std::uint32_t stepsPerTick = CLASSIC_STEPS_PER_TICK;  // FULL_STEPS_PER_TICK for the full
    std::vector<StreamEvent> events;  // writes the player makes, in order (skipped pairs left out)
    std::vector<AdpcmCommand> adpcm;  // ADPCM commands, in order, steps as for `events`
    std::size_t adpcmLoopStart = 0;   // index of the first ADPCM command after the loop marker
    // A full program's drums (decodeExecutableStream): whether the player's bank offset is set,
    // and the table's samples.
    bool drums = false;
    std::vector<BankSample> bank;
    std::vector<bool> named;      // named[r]: some pair writes register r (256 entries)
    std::size_t loopStart = 0;    // index of the first event after the (last) loop marker
    std::uint32_t loopStep = 0;   // step of the loop marker
    std::uint32_t endStep = 0;    // step of the end marker
    std::uint32_t loopSteps = 0;  // endStep - loopStep
    bool loops = false;
    std::size_t pairs = 0;  // pairs read up to and including the end marker
    // The command that ended the stream: 0xFF, or for the full player a reserved 0xF8-0xFD,
    // at which the song ends without looping.
    std::uint8_t endCommand = 0xFF;
    // The full player's passes through the loop before the fade (the word at file offset 74,
    // FULL_PLAYER_LOOPS_OFFSET); 0: the loop repeats until a key, and nothing after the end
    // marker is read.
    std::uint16_t passes = 0;
    // A looping stream with passes > 0 fades: after the last pass the player goes on with the
    // pairs after the end marker up to 00 F8 (or 00 F9-FD), then stops as at a key and exits.
    // The fade's writes and ADPCM commands have their steps counted from the end marker; its
    // end is `fadeSteps` after it.
    bool fades = false;
    std::vector<StreamEvent> fadeEvents;
    std::vector<AdpcmCommand> fadeAdpcm;
    std::uint32_t fadeSteps = 0;
    std::size_t fadePairs = 0;  // pairs of the fade, its closing 00 F8 included
    std::string error;  // empty unless the stream has no end marker (or its fade no 00 F8) or
                        // the bank is broken
};

// Decodes pairs from `data` up to the first end marker (00 FF), read as `player` reads them:
// waits of 1 to 254 ticks for the classic player, of 1 to 240 steps for the full player; and,
// for a full stream that loops with `passes` > 0, its fade up to 00 F8.
DecodedStream decodeStream(const std::uint8_t* data, std::size_t size,
                           PlayerKind player = PlayerKind::Classic, std::uint16_t passes = 0);

// The writes a replay of `stream` makes, in order, each with its step counted from the stream's
// start: the part before the loop, the loop body once per pass, the fade; at most `maxCount`
// of them, none after `lastStep`. A song that loops until a key needs one of the two bounds
// (without either, its loop is given once).
struct PlayedEvent {
    StreamEvent event;
    std::uint32_t loopReturns = 0;  // times the player had gone back to the loop position
    bool fade = false;
};
std::vector<PlayedEvent> playedEvents(const DecodedStream& stream,
                                      std::uint32_t lastStep = UINT32_MAX,
                                      std::size_t maxCount = SIZE_MAX);
// The same for the ADPCM commands.
std::vector<AdpcmCommand> playedAdpcm(const DecodedStream& stream,
                                      std::uint32_t lastStep = UINT32_MAX,
                                      std::size_t maxCount = SIZE_MAX);
// The step at which a song that ends by itself ends (its end marker, reserved command or the
// fade's 00 F8, after every pass); nothing for one that loops until a key.
std::optional<std::uint32_t> songEndStep(const DecodedStream& stream);

// Decodes the stream of a song executable, as the player it carries (or `player`, if given)
// reads it: from its head's end (file offset 434, or FULL_PLAYER_HEAD_SIZE) through text and
// data; for a full program also its loops word (and so its fade) and the bank of its drums.
DecodedStream decodeExecutableStream(const std::vector<std::uint8_t>& file,
                                     std::optional<PlayerKind> player = std::nullopt);

// A key pressed at a virtual time: `code` as the IOCS hands it over, the key's scan code in the
// high byte and its ASCII code in the low byte.
struct KeyPress {
    std::int64_t timeNs = 0;
    std::uint16_t code = 0;
};
// Codes of the keys a player looks at: ESC (scan code 0x01) and the space bar (0x35).
inline constexpr std::uint16_t KEY_ESC = 0x011B;
inline constexpr std::uint16_t KEY_SPACE = 0x3520;

// A key script as opmplay-sim --keys takes it: presses separated by commas, each SECONDS:KEY,
// KEY a printable ASCII character (its scan code left 0: the players read only the ASCII
// byte), `esc` or `space`; seconds from 0 to 86400, in any order. Returns the presses sorted
// by time (presses at the same time in the script's order), or an empty vector with `error`
// saying what is wrong.
std::vector<KeyPress> parseKeyScript(const std::string& script, std::string& error);

// An album of opmcast-full: one program whose table (at the text offset in the head's album
// field, FULL_PLAYER_ALBUM_OFFSET) lists several songs, played one after the other.
struct AlbumTrack {
    std::uint32_t streamOffset = 0;   // text offset of its stream
    std::uint32_t displayOffset = 0;  // text offset of its display block, 0: none
    std::uint16_t passes = 0;         // passes before the fade, 0: until a key
    // Its stream decoded with its passes, as decodeStream reads it, with the album's bank
    // (`drums` and `bank` set as for a single song).
    DecodedStream stream;
    std::string displayHeader;   // the display block's header lines (CR LF kept), no NUL
    std::string displayPattern;  // its time-line pattern (0x01 time played, 0x02 the pass)
};
struct AlbumTable {
    std::uint32_t tableOffset = 0;  // text offset of the table
    bool repeat = false;            // flags bit 0: after the last track, the first again
    std::vector<AlbumTrack> tracks;
    bool drums = false;  // the head's bank offset is set: one bank for every track
    std::vector<BankSample> bank;
    std::string displayHeader;  // the album's own display block: the track list, the keys
    // Empty for a table the player plays. Else the first thing wrong: the table's count (0 or
    // over FULL_ALBUM_MOST_TRACKS) or an offset (odd, or not between the head's end and the
    // table), on which the player exits at once without playing; or a track's stream without
    // its end marker (or its fade without 00 F8), or a broken bank or display block.
    std::string error;
};
// The album table of a program of opmcast-full whose album field is set; nothing for a program
// of one song, a program of the classic player, or one whose full player has no album field.
std::optional<AlbumTable> decodeAlbum(const std::vector<std::uint8_t>& file);
// Whether the full player built into this library has the album field (its bare head holds 0
// there); without it the bytes at FULL_PLAYER_ALBUM_OFFSET are code, not a field.
bool fullPlayerHasAlbumField();

struct SimOptions {
    std::int64_t keyPressNs = -1;  // virtual time of a press of the space bar; -1: none
    // More presses, in any order. The IOCS keeps them in one buffer with the one of keyPressNs:
    // _B_KEYSNS gives the code of the earliest press whose time has come and that is not taken
    // yet (0 if none), _B_KEYINP takes it, or waits for the next press.
    std::vector<KeyPress> keys;
    std::int64_t timeLimitNs = 600'000'000'000;  // the run is abandoned after this
    std::uint32_t cpuHz = 10'000'000;            // 68000 clock of the X68000
    std::int64_t systemCallNs = 20'000;          // one DOS or IOCS call
    // Drawing one byte through the DOS console (_CONCTRL, _PRINT), on top of the call: an
    // estimate of the console's text drawing at 10 MHz, not a measurement. The OPM timers run
    // on while it draws, so a player that prints where it should be writing loses time.
    std::int64_t consoleCharNs = 150'000;
    bool opmInterruptEnabled = true;  // MFP IERB/IMRB bit 3 (GPIP3) set at start
    bool scrambleRegisters = true;    // system calls return garbage in d1-d7/a0-a6
    // The IOCS work byte at $09DA, its copy of OPM register 0x1B (bits 7-6: ADPCM clock and
    // floppy READY), which is also what the register holds at start. A program must keep those
    // bits in every write of 0x1B and leave the register with this value.
    std::uint8_t systemCopy1B = 0x00;
    // The player whose rules the run is held to; empty: the one the program carries
    // (detectPlayer). Set, it lets a test hold a modified player to the full player's rules.
    std::optional<PlayerKind> player;
};

struct OpmWrite {
    std::int64_t timeNs = 0;
    std::uint8_t reg = 0;
    std::uint8_t value = 0;
};

// One sample played through the ADPCM: channel 3 of the DMA controller started on `address`
// for `count` bytes, with PPI port C's divider and pan bits (bit 1 left off, bit 0 right off)
// of that moment, and the bytes the chip took, in order.
struct AdpcmPlay {
    std::int64_t startNs = 0;
    std::int64_t endNs = -1;   // when the DMA finished or was aborted; -1 while it runs
    std::int64_t stopNs = -1;  // when the program stopped the ADPCM afterwards; -1 if never
    std::uint32_t address = 0;
    std::uint16_t count = 0;
    std::uint8_t portC = 0;
    bool aborted = false;
    std::vector<std::uint8_t> bytes;
};

// A write of PPI port C (by the port or by a bit set/reset control word): its value after the
// write, and whether DMA channel 3 was transferring then. Bits 3-2 are the ADPCM's divider,
// bits 1-0 turn a side off (bit 1 left, bit 0 right).
struct PortCWrite {
    std::int64_t timeNs = 0;
    std::uint8_t value = 0;
    bool transferring = false;
};

// Port C as the machine starts: divider 512, both sides off.
inline constexpr std::uint8_t PORT_C_AT_START = 0x0B;

// The X68000's text screen in its usual mode: 96 columns and 31 lines (the 32nd shows the
// function keys); a line printed below the 31st scrolls the screen up.
inline constexpr int SCREEN_COLUMNS = 96;
inline constexpr int SCREEN_ROWS = 31;

// Text the program printed through the DOS console (_CONCTRL modes 0 and 1, _PRINT), one entry
// a call, with the time of the call; bytes as printed (ASCII or Shift-JIS, CR and LF included).
// A cursor move (_CONCTRL 3) is recorded as ESC [ row;column H and an erasure (_CONCTRL 10) as
// ESC [ n J, rows and columns from 1, as the X68000's console takes them.
struct ConsoleText {
    std::int64_t timeNs = 0;
    std::string bytes;
};

struct SimResult {
    PlayerKind player = PlayerKind::Classic;  // the player whose rules the run was held to
    std::uint8_t systemCopy1B = 0;            // the byte at $09DA during the run
    bool exited = false;                      // the program ended through DOS _EXIT or _EXIT2
    int exitCode = -1;
    std::int64_t endNs = 0;           // virtual time when the run ended
    std::int64_t keyTakenNs = -1;     // when the first key was read out of the buffer; -1: never
    std::vector<KeyPress> keysTaken;  // every key read out (_B_KEYINP): when, and its code
    // When timer A was first started: step 0 of the stream, as the player counts its steps in
    // the timer's overflows (a header printed before it takes no time from the song); -1: never.
    std::int64_t timerAStartNs = -1;
    std::uint64_t instructions = 0;
    std::uint64_t timerAOverflows = 0;
    std::vector<OpmWrite> writes;      // every OPM data write, timer registers included
    std::vector<AdpcmPlay> adpcm;      // every sample started through DMA channel 3
    std::vector<PortCWrite> portC;     // every write of PPI port C, in order
    std::vector<ConsoleText> console;  // everything printed, in order
    std::vector<std::string> errors;   // every fault found; empty for a clean run
};

// Port C at a time of the run: the value of the last write at or before it.
std::uint8_t portCAt(const SimResult& result, std::int64_t timeNs);
// The sides the ADPCM is heard on at a time, from port C: bit 1 left, bit 0 right (the
// complement of port C's bits 1-0), 0 for neither.
inline std::uint8_t adpcmSidesAt(const SimResult& result, std::int64_t timeNs) {
    return std::uint8_t(~portCAt(result, timeNs) & 0x03);
}

// The screen as a terminal shows it after the run: CR goes back to the line's start, later
// bytes overwrite earlier ones (a longer tail stays), LF goes to the start of the next line,
// BS one column back, ESC [ r;c H to row r, column c, ESC [ 2J erases every line (the cursor
// stays), ESC [ 0J from the cursor on, ESC [ 1J up to it. A last line left empty (the cursor's,
// after a final CR LF) is dropped. Every row since the last erasure is kept: more than
// SCREEN_ROWS of them means the X68000's screen scrolled the first ones away. Bytes as printed
// (a Shift-JIS character takes two columns, as on the X68000's text screen).
std::vector<std::string> screenLines(const SimResult& result);

// Every line as it was printed: the bytes from a line's start (the output's start, a CR, an LF
// or an escape sequence) up to the next CR, LF, escape sequence or the output's end, with the
// times of the calls that printed its first and its last byte. Empty lines are left out.
struct PrintedLine {
    std::int64_t startNs = 0;
    std::int64_t endNs = 0;
    std::string text;
};
std::vector<PrintedLine> printedLines(const SimResult& result);

// Loads `file` as Human68k would and runs it until it exits, faults or hits the time limit.
SimResult runProgram(const std::vector<std::uint8_t>& file, const SimOptions& options);

// Comparison of a run with the stream it was given.
struct ReplayCheck {
    std::vector<std::string> problems;  // empty when the replay is right
    std::size_t streamWrites = 0;       // writes matched to stream events
    std::uint32_t loopPasses = 0;       // how many times the replay went back to the loop
    std::size_t fadeWrites = 0;         // of the streamWrites, those of the fade
    double maxTickError = 0;            // largest |time / TICK_NS - expected step / stepsPerTick|
};

// The virtual time of a step of `stream` from the start of the stream, in ticks.
inline double stepToTicks(const DecodedStream& stream, double step) {
    return step / stream.stepsPerTick;
}

// The time of a run at which its stream starts, step 0: when the player started timer A (0
// if it never did).
inline std::int64_t streamStartNs(const SimResult& result) {
    return result.timerAStartNs >= 0 ? result.timerAStartNs : 0;
}

// Checks that the run wrote the stream's registers in order, each within `tickTolerance` ticks
// of its step (counted from streamStartNs) (0x1B merged with the system's copy for the full
// player), went on through the loop as long as it ran (or for its passes, then through the fade),
// stopped only at the end of the song (not before its last step) or at the key press, and then only
// silenced the chip: key off and TL 127 on every channel and slot, and for the full player also
// noise off, the LFO reset released (0x01 = 0), both LFO depths 0 and 0x1B back to the system's
// copy. Timer registers 0x10-0x14 are left out of the comparison. Harness errors are included in
// the problems.
ReplayCheck checkReplay(const DecodedStream& stream, const SimResult& result,
                        double tickTolerance = 1.0);

// How a track of an album stopped playing.
enum class TrackEnding {
    End,       // its stream ended by itself (after its passes and fade)
    Next,      // key n or N
    Previous,  // key p or P
    Quit,      // key q, Q or ESC
    Cut,       // the run ended during it (time limit, fault)
    Jump,      // key 1-9 of a track the album has
};
// "end", "key n", "key p", "key q", "cut", "key 1-9"
const char* trackEndingName(TrackEnding ending);

// One track as an album's run played it: the writes between two clean states.
struct AlbumTrackPlay {
    std::size_t track = 0;     // index in AlbumTable::tracks (0 for track 1)
    std::int64_t startNs = 0;  // the moment the player started it: when its step 0 was due
    std::int64_t endNs = 0;    // the clean state's first write after it (or the run's end)
    std::int64_t keyNs = -1;   // when the key that ended it was taken; -1: no key
    TrackEnding ending = TrackEnding::Cut;
    std::uint16_t key = 0;         // the code of the key that ended it
    std::int64_t pausedNs = 0;     // how long it was paused (space to space) before its end
    std::size_t pauses = 0;        // how many times it was paused
    std::size_t streamWrites = 0;  // writes matched to the track's stream
    std::uint32_t loopPasses = 0;
    std::size_t fadeWrites = 0;
    double maxTickError = 0;  // largest timing error, in ticks
};
struct AlbumCheck {
    std::vector<AlbumTrackPlay> plays;  // in the order played
    std::vector<std::string> problems;  // empty when the run played the album right
};

// The clean state an album's player leaves between tracks, also the start of its shutdown (the
// timer stop, 14 = 30, follows there): keys off 08 = 07 to 00, 0F = 00, 01 = 00, 19 = 00,
// 19 = 80, 1B = the system's copy, TL 60-7F = 7F (with drums after the ADPCM is stopped and
// muted).
std::vector<PlayerWrite> albumCleanState(std::uint8_t systemCopy1B);

// Holds a run of an album to its tracks. The run's writes (timer registers aside, the player's
// start-up writes first) are split at every complete clean state; the track each part should
// be is followed through the player's rules from the keys the run took (SimResult::keysTaken):
// n/N the next track, p/P the same track again when more than 3 s of it had played (its time
// counted from its start, pauses left out; within a tick of 3 s either is taken, the one its
// writes match), else the one before (the first stays), 1-9 that track (ignored beyond the
// album), q/Q/ESC quit, any other key ignored; at a track's end the next one; after the last,
// the exit, or with the repeat flag track 1 again. Space pauses a track: then the player writes
// TL 127 to slots 60-7F and nothing else until space again, which writes every TL back as the
// track last set it (127 where it set none), and the track goes on as if the pause had not
// been; a key that moves the player ends a pause as it ends a track. Each part is
// checked as checkReplay checks a song (every write at its step from the track's start, taken
// as the part's first write's time less its step; loop passes, the fade, the end not before
// the song's end), and its drums against the plays of DMA channel 3 and port C's writes in it,
// with the album's bank. Harness errors are included in the problems.
AlbumCheck checkAlbumReplay(const AlbumTable& album, const SimResult& result,
                            double tickTolerance = 1.0);

}  // namespace opmsim
