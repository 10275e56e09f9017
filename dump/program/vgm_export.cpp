#include "dump/program/vgm_export.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "channels/file_channels.hpp"
#include "dump/program/opm_registers.hpp"
#include "dump/program/stream_report.hpp"
#include "dump/program/vgm_drums.hpp"
#include "dump/program/vgm_gd3.hpp"
#include "player/player_writes.hpp"

namespace {

constexpr std::uint8_t VGM_YM2151_WRITE = 0x54;
constexpr std::uint8_t VGM_END = 0x66;
constexpr std::size_t WRITE_CHUNK = 65536;

void putLong(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + std::size_t(i)] = std::uint8_t(value >> (8 * i));
}

// Where the writes of a stream ended: its step, and the loop marker's place in the VGM and
// its step (loopOffset 0: none).
struct StreamEnd {
    std::uint64_t step = 0;
    std::size_t loopOffset = 0;
    std::uint64_t loopStep = 0;
};

// The stream's writes from its start, `baseSample` samples into the VGM, through its end
// marker (or 00 F8-00 FD); `drums` planned for this stream.
std::optional<Problem> putStreamWrites(const ExecutableStream& stream, VgmDrums& drums, Bytes& vgm,
                                       std::uint64_t baseSample, StreamEnd& end) {
    const bool full = stream.player == PlayerKind::full;
    // Time in the player's steps; each pair goes at the sample nearest its step, counted from
    // the start, so that rounding never accumulates.
    std::uint64_t step = 0, pendingSteps = 0, loopStep = 0;
    std::size_t loopOffset = 0;
    for (std::size_t i = 0; i < stream.pairs.size(); ++i) {
        const StreamPair& pair = stream.pairs[i];
        const PairGroup group = streamPairGroup(stream.player, pair);
        if (group == PairGroup::sampleNumber) continue;
        if (group == PairGroup::wait) {
            pendingSteps += streamPairSteps(stream.player, pair);
            if (baseSample + stepToSamples(stream.player, step + pendingSteps) > UINT32_MAX)
                return Problem{
                    "the stream plays for longer than a VGM file can count "
                    "(2^32 samples, about 27 hours)",
                    pair.offset};
            continue;
        }
        advanceDrums(drums, vgm, stepToSamples(stream.player, step),
                     stepToSamples(stream.player, step + pendingSteps));
        step += pendingSteps;
        pendingSteps = 0;
        if (group == PairGroup::loopMarker) {
            loopOffset = vgm.size();
            loopStep = step;
        } else if (group == PairGroup::endMarker || group == PairGroup::fadeEnd ||
                   group == PairGroup::reserved) {
            if (group != PairGroup::endMarker) loopOffset = 0;
            endDrums(drums, vgm, loopOffset != 0 && step > loopStep);
            break;
        } else if (group == PairGroup::adpcmStart) {
            startDrum(drums, vgm, pair.second, sampleNumberAfter(stream, i),
                      stepToSamples(stream.player, step));
        } else if (group == PairGroup::adpcmStop) {
            stopDrum(drums, vgm);
        } else if (group == PairGroup::adpcmSides) {
            sidesDrum(drums, vgm, pair.second);
        } else if (full && pair.first == 0x1B) {
            // The system's bits 7-6 taken as clear.
            vgm.insert(vgm.end(), {VGM_YM2151_WRITE, pair.first, merged1B(pair.second, 0)});
        } else if (full ? fullPlayerWrites(pair.first) : playerWrites(pair.first)) {
            vgm.insert(vgm.end(), {VGM_YM2151_WRITE, pair.first, pair.second});
        }
    }
    stopDrum(drums, vgm);  // a stream cut short of its end marker
    end = {step, loopOffset, loopStep};
    return std::nullopt;
}

// The header and, with drums, the bank and the chip's first divider.
std::optional<Problem> startVgm(const VgmDrums& drums, Bytes& vgm) {
    vgm.assign(drums.bank ? VGM_DRUMS_HEADER_SIZE : VGM_EXPORT_HEADER_SIZE, 0);
    vgm[0] = 'V', vgm[1] = 'g', vgm[2] = 'm', vgm[3] = ' ';
    if (drums.bank)
        if (auto problem = putDrumBank(drums, vgm)) return problem;
    // Both players set the LFO depths to 0 before the stream.
    for (const PlayerWrite& w : PLAYER_START_WRITES)
        vgm.insert(vgm.end(), {VGM_YM2151_WRITE, w.reg, w.value});
    return std::nullopt;
}

// The end command and the header's fields: offsets are relative to the field that holds them.
void finishVgm(Bytes& vgm, bool drums, std::uint64_t samples, std::size_t loopOffset,
               std::uint64_t loopSample) {
    vgm.push_back(VGM_END);
    putLong(vgm, 0x04, std::uint32_t(vgm.size() - 0x04));
    putLong(vgm, 0x08, drums ? VGM_DRUMS_VERSION : VGM_EXPORT_VERSION);
    putLong(vgm, 0x18, std::uint32_t(samples));
    putLong(vgm, 0x1C, loopOffset != 0 ? std::uint32_t(loopOffset - 0x1C) : 0);
    putLong(vgm, 0x20, loopOffset != 0 ? std::uint32_t(samples - loopSample) : 0);
    putLong(vgm, 0x30, OPM_CLOCK);
    putLong(vgm, 0x34,
            std::uint32_t((drums ? VGM_DRUMS_HEADER_SIZE : VGM_EXPORT_HEADER_SIZE) - 0x34));
}

// The player's clean state between tracks: the keys off, noise, LFO and its depths cleared,
// 1B as the system keeps it (its bits 7-6 taken as clear), every operator's TL at 7F.
void putCleanState(Bytes& vgm) {
    for (int channel = 7; channel >= 0; --channel)
        vgm.insert(vgm.end(), {VGM_YM2151_WRITE, 0x08, std::uint8_t(channel)});
    const std::uint8_t writes[][2] = {
        {0x0F, 0x00}, {0x01, 0x00}, {0x19, 0x00}, {0x19, 0x80}, {0x1B, 0x00}};
    for (const auto& w : writes) vgm.insert(vgm.end(), {VGM_YM2151_WRITE, w[0], w[1]});
    for (std::uint8_t reg = 0x60; reg <= 0x7F; ++reg)
        vgm.insert(vgm.end(), {VGM_YM2151_WRITE, reg, 0x7F});
}

}  // namespace

std::optional<Problem> exportVgm(const ExecutableStream& stream, Bytes& vgm) {
    VgmDrums drums = planDrums(stream);
    if (auto problem = startVgm(drums, vgm)) return problem;
    StreamEnd end;
    if (auto problem = putStreamWrites(stream, drums, vgm, 0, end)) return problem;
    const std::uint64_t samples = stepToSamples(stream.player, end.step);
    const bool loops = end.loopOffset != 0 && end.step > end.loopStep;
    finishVgm(vgm, stream.bank.has_value(), samples, loops ? end.loopOffset : 0,
              stepToSamples(stream.player, end.loopStep));
    if (stream.display)
        if (const std::optional<Gd3Tag> tag = tagFromDisplay(stream.display->header))
            appendGd3(vgm, *tag);
    return std::nullopt;
}

std::optional<Problem> exportAlbumVgm(const Album& album, Bytes& vgm) {
    // The chip's first divider: that of the first start that plays in any track.
    const ExecutableStream first = albumTrack(album, 0);
    VgmDrums opening = planDrums(first);
    for (std::size_t i = 1; i < album.tracks.size() && opening.bank && opening.starts.empty();
         ++i) {
        const VgmDrums plan = planDrums(albumTrack(album, i));
        if (plan.starts.empty()) continue;
        opening.divider = plan.divider;
        break;
    }
    if (auto problem = startVgm(opening, vgm)) return problem;
    std::uint8_t divider = opening.divider;
    std::uint64_t baseSample = 0;
    for (std::size_t i = 0; i < album.tracks.size(); ++i) {
        if (i > 0) putCleanState(vgm);
        const ExecutableStream track = albumTrack(album, i);
        VgmDrums drums = planDrums(track);
        drums.divider = divider;
        StreamEnd end;
        if (auto problem = putStreamWrites(track, drums, vgm, baseSample, end)) return problem;
        divider = drums.divider;
        baseSample += stepToSamples(PlayerKind::full, end.step);
    }
    finishVgm(vgm, album.bank.has_value(), baseSample, 0, 0);
    std::vector<std::optional<Gd3Tag>> tags;
    for (const ExecutableStream& track : album.tracks)
        tags.push_back(track.display ? tagFromDisplay(track.display->header) : std::nullopt);
    if (const std::optional<Gd3Tag> tag = albumTag(tags)) appendGd3(vgm, *tag);
    return std::nullopt;
}

std::optional<std::string> writeFileInPlace(const std::string& name, const Bytes& bytes) {
    if (!fileReplaceable(name))
        return std::string("it is a folder or a file this user may not replace");
    const int channel = fileFreeNumber();
    std::string temporary;
    if (channel == 0 || !fileCreateTemporary(name, channel, temporary))
        return std::string(std::strerror(errno));
    int error = 0;
    for (std::size_t at = 0; at < bytes.size() && error == 0; at += WRITE_CHUNK) {
        const auto n = int(std::min(WRITE_CHUNK, bytes.size() - at));
        if (fileWrite(channel, 0, bytes.data() + at, n) != FILE_OK) error = errno;
    }
    if (fileClose(channel) != FILE_OK && error == 0) error = errno;
    if (error == 0 && fileRename(temporary, name)) return std::nullopt;
    if (error == 0) error = errno;
    fileRemove(temporary);
    return std::string(error ? std::strerror(error) : "the write failed");
}
