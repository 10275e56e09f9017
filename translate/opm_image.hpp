// The OPM (YM2151) register image the replay should reach, the source-chip latches and the
// fixed conversion constants.
#pragma once

#include <cstdint>

// YM2612 channels taken over; they occupy OPM channels 0 to FM_CHANNELS - 1.
inline constexpr std::uint8_t FM_CHANNELS = 6;
// SN76489 tone channels taken over; they occupy OPM channels 8 - PSG_CHANNELS to 7.
inline constexpr std::uint8_t PSG_CHANNELS = 2;
inline constexpr std::uint8_t FIRST_PSG_VOICE = 8 - PSG_CHANNELS;

inline constexpr std::int32_t FM_CLOCK = 7670453;      // YM2612 clock, Hz
inline constexpr std::int32_t PSG_CLOCK = 3579545;     // SN76489 clock, Hz
inline constexpr std::int32_t SAMPLES_PER_TICK = 787;  // VGM samples (44100/s) per replay tick
inline constexpr std::int32_t NOTE_BIAS = 92;          // note value of 8363 Hz

// Hertz per unit of block-shifted F-number: FM_CLOCK / (144 * 2^20).
inline constexpr double fmHzPerUnit = FM_CLOCK / 150994944.0;

inline constexpr int OPM_CHANNELS = 8;
inline constexpr int OPM_SLOTS = 32;     // slot = channel + 8 * operator
inline constexpr int OP_PARAM_ROWS = 6;  // DT1/MUL, TL, KS/AR, AMS-EN/D1R, DT2/D2R, D1L/RR
inline constexpr int TL_ROW = 1;
inline constexpr int D2R_ROW = 4;

constexpr std::uint8_t slotOf(int channel, int op) {
    return std::uint8_t(channel + 8 * op);
}

// OPM register address of operator parameter row r for slot s.
constexpr std::uint8_t opParamRegister(int row, int slot) {
    return std::uint8_t(0x40 + 0x20 * row + slot);
}

// One copy of every OPM register the converter drives. All fields are bytes, so the struct
// has no padding and two images compare with memcmp.
struct OpmImage {
    std::uint8_t lfoFreq;                            // 0x18
    std::uint8_t connect[OPM_CHANNELS];              // 0x20 + c: RL, FB, CON
    std::uint8_t keyCode[OPM_CHANNELS];              // 0x28 + c: octave, note code
    std::uint8_t keyFraction[OPM_CHANNELS];          // 0x30 + c: KF in bits 7-2
    std::uint8_t modSens[OPM_CHANNELS];              // 0x38 + c: PMS, AMS
    std::uint8_t opParam[OP_PARAM_ROWS][OPM_SLOTS];  // 0x40 + 0x20 * row + slot
};

inline const std::uint8_t* bytesOf(const OpmImage& image) {
    return reinterpret_cast<const std::uint8_t*>(&image);
}
inline std::uint8_t* bytesOf(OpmImage& image) {
    return reinterpret_cast<std::uint8_t*>(&image);
}

// The image's registers in the order a flush writes them: the LFO rate, then channel by
// channel, each with its connect, key code, key fraction and modulation sensitivity, then the
// six parameter rows of operator 0, 1, 2 and 3. Field f of channel c has the index
// fieldIndex(c, f).
inline constexpr int CHANNEL_FIELDS = 4 + 4 * OP_PARAM_ROWS;
inline constexpr int IMAGE_FIELDS = 1 + OPM_CHANNELS * CHANNEL_FIELDS;
inline constexpr int LFO_FIELD = 0;
enum ChannelField { CONNECT_FIELD, KEY_CODE_FIELD, KEY_FRACTION_FIELD, MOD_SENS_FIELD };
constexpr int operatorField(int op, int row) {
    return 4 + OP_PARAM_ROWS * op + row;
}
constexpr int fieldIndex(int channel, int field) {
    return 1 + channel * CHANNEL_FIELDS + field;
}

// Where `wanted` may differ from `sent`, for the next flush. After a flush the two agree; a
// translation that then sets fields in field order puts the pair of each one it changes
// straight into the stream and records it as sent (setWanted), so the flush has nothing left
// to compare. After start-up, or a change made any other way, the flush compares every field.
inline constexpr int NO_FIELD = -1;
inline constexpr int EVERY_FIELD = IMAGE_FIELDS;
struct ImageChanges {
    int lastField;  // the last field changed since the flush; NO_FIELD for none, EVERY_FIELD
                    // when every field is to be compared
    int firstPair;  // where the pairs of the changed fields start in the stream buffer
    std::uint32_t waitTicks;                  // the ticks of the wait written before them
    std::uint8_t previous[sizeof(OpmImage)];  // by image byte: the sent value a pair replaced
};

// What the translation wants the chip to hold, and what the stream has already written.
struct OpmShadow {
    OpmImage wanted;
    OpmImage sent;
    ImageChanges changed;
};

// Every register of the image, as after start-up or a change made outside the translation;
// only while no changed fields are waiting in the stream.
void markEverythingChanged(OpmShadow& shadow);

inline constexpr std::uint16_t NO_PITCH = 0xFFFF;

// Source-chip state kept between writes.
struct SourceLatches {
    std::uint8_t fnumLow[8];   // YM2612 0xA0 + n: F-number bits 7-0
    std::uint8_t fnumHigh[8];  // YM2612 0xA4 + n: block in bits 5-3, F-number bits 10-8
    // Per channel, the block and F-number (fnumHigh bits 5-0, fnumLow) whose key code and
    // fraction `wanted` holds; NO_PITCH before the first conversion.
    std::uint16_t convertedPitch[8];
    std::uint8_t psgLatch;       // last SN76489 byte with bit 7 set
    std::uint16_t psgPeriod[4];  // 10-bit tone period per SN76489 channel
};

// Start-up values: every channel a silent four-carrier voice, the LFO at rate 1, nothing sent.
void initOpmShadow(OpmShadow& shadow, SourceLatches& latches);
