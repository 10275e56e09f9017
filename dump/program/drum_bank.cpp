#include "dump/program/drum_bank.hpp"

#include <algorithm>
#include <span>

#include "dump/text_format.hpp"
#include "full/player/full_player.hpp"

namespace {

constexpr double ADPCM_CLOCK = 8000000.0;      // Hz, OPM register 1B bit 7 clear
constexpr std::uint64_t MOST_SAMPLES = 65536;  // a start's number is one word
constexpr std::uint64_t TEXT_START = 64;       // file offset of text offset 0

std::uint32_t bigLong(std::span<const std::uint8_t> file, std::uint64_t at) {
    return std::uint32_t(file[at] << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3]);
}

}  // namespace

std::optional<Problem> readDrumBank(const Bytes& file, std::uint64_t end,
                                    std::optional<DrumBank>& bank) {
    bank.reset();
    const std::uint32_t field = bigLong(file, FULL_PLAYER_BANK_OFFSET);
    // 0, or the long word the player itself holds there: a program without drums.
    if (field == 0 || field == bigLong(fullPlayerBytes(), FULL_PLAYER_BANK_OFFSET))
        return std::nullopt;
    // The bank follows at least the stream's end marker and ends at `end`.
    const std::uint64_t at = TEXT_START + field;
    const std::uint64_t tail = end;
    if (at < FULL_PLAYER_HEAD_SIZE + 2 || at % 2 != 0 || at + 8 > tail)
        return Problem{
            format("the drums' bank at text offset 0x%X is not between the stream "
                   "and the %s (text offsets 0x%X to 0x%llX)",
                   unsigned(field),
                   end + FULL_PLAYER_TAIL_SIZE == file.size() ? "player tail" : "display block",
                   unsigned(FULL_PLAYER_HEAD_SIZE + 2 - TEXT_START),
                   ull(std::max<std::uint64_t>(tail, 8) - 8 - TEXT_START)),
            FULL_PLAYER_BANK_OFFSET};
    DrumBank b;
    b.at = at;
    b.size = tail - at;
    const std::uint32_t tableSize = bigLong(file, at);
    if (tableSize == 0 || tableSize % 8 != 0 || tableSize > b.size || tableSize / 8 > MOST_SAMPLES)
        return Problem{format("the drums' table size %u (its first offset) is not 8 bytes a "
                              "sample within the %llu-byte bank, at most %llu samples",
                              unsigned(tableSize), ull(b.size), ull(MOST_SAMPLES)),
                       at};
    b.dataAt = at + tableSize;
    for (std::uint64_t entry = at; entry < b.dataAt; entry += 8) {
        const std::uint32_t offset = bigLong(file, entry);
        DrumSample sample;
        sample.bytes = std::uint32_t(file[entry + 4] << 8 | file[entry + 5]);
        sample.dividerBits = file[entry + 6];
        sample.at = at + offset;
        const std::uint64_t number = (entry - at) / 8;
        if (sample.bytes > 0 && (offset < tableSize || offset + sample.bytes > b.size))
            return Problem{format("drum sample %llu's %u bytes at bank offset 0x%X are not in "
                                  "the bank after its table (0x%X to 0x%llX)",
                                  ull(number), unsigned(sample.bytes), unsigned(offset),
                                  unsigned(tableSize), ull(b.size)),
                           entry};
        if (sample.bytes > 0 && sample.dividerBits != 0x00 && sample.dividerBits != 0x04 &&
            sample.dividerBits != 0x08)
            return Problem{format("drum sample %llu's divider bits 0x%02X are none of 0x08 "
                                  "(512), 0x04 (768) and 0x00 (1024)",
                                  ull(number), unsigned(sample.dividerBits)),
                           entry + 6};
        b.samples.push_back(sample);
    }
    b.data.assign(file.begin() + long(b.dataAt), file.begin() + long(tail));
    bank = std::move(b);
    return std::nullopt;
}

unsigned drumDivider(std::uint8_t dividerBits) {
    return dividerBits == 0x08 ? 512 : dividerBits == 0x04 ? 768 : 1024;
}

double drumRate(std::uint8_t dividerBits) {
    return ADPCM_CLOCK / drumDivider(dividerBits);
}

unsigned drumRateHz(std::uint8_t dividerBits) {
    return unsigned(drumRate(dividerBits) + 0.5);
}

double drumSeconds(const DrumSample& sample) {
    return 2.0 * sample.bytes / drumRate(sample.dividerBits);
}

const DrumSample* startedSample(const DrumBank& bank, std::uint16_t number) {
    if (number >= bank.samples.size()) return nullptr;
    const DrumSample& sample = bank.samples[number];
    return sample.bytes > 0 ? &sample : nullptr;
}

const DrumSample* startedSample(const std::optional<DrumBank>& bank, std::uint16_t number) {
    return bank ? startedSample(*bank, number) : nullptr;
}

const char* drumSides(std::uint8_t code) {
    return (code & 0x03) == 0x03 ? "both" : (code & 0x02) ? "left" : "right";
}

const char* adpcmSidesName(std::uint8_t code) {
    return (code & 0x03) == 0 ? "muted" : drumSides(code);
}

std::string drumStartText(const std::optional<DrumBank>& bank, std::uint8_t code,
                          std::uint16_t number) {
    const std::string sides = (code & 0x03) == 0x03 ? "both sides"
                              : (code & 0x02)       ? "left only"
                                                    : "right only";
    std::string text = format("ADPCM sample %u, %s: ", unsigned(number), sides.c_str());
    if (const DrumSample* sample = startedSample(bank, number))
        return text + format("%u Hz, %u bytes, %.3f s", drumRateHz(sample->dividerBits),
                             unsigned(sample->bytes), drumSeconds(*sample));
    if (!bank) return text + "no drums in this program, plays nothing";
    if (number >= bank->samples.size())
        return text + format("beyond the table's %zu, plays nothing", bank->samples.size());
    return text + "left out, plays nothing";
}
