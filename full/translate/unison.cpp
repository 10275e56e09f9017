// Two tones of the tone chip at (nearly) the same pitch sound as one louder tone: songs double
// a part on two channels, often a period step or two apart for a slow beat. Where a tone finds
// no free OPM channel, it joins a tone in unison that has one, which plays at their summed
// power, instead of being left out.
#include <cmath>
#include <cstdlib>

#include "full/translate/full_run.hpp"

namespace {

constexpr std::uint8_t SILENT = 15;

// Within a quarter of a semitone (a period ratio of 1.029 at most): heard as one pitch.
constexpr int UNISON_RATIO = 34;

int periodOf(const FullRun& run, int tone) {
    const int period = run.psg.period[tone];
    return period == 0 ? 1024 : period;
}

bool inUnison(const FullRun& run, int a, int b) {
    const int pa = periodOf(run, a);
    const int pb = periodOf(run, b);
    return std::abs(pa - pb) * UNISON_RATIO <= std::min(pa, pb);
}

// The tone in unison with waiting tone `tone` that plays on a channel, -1 for none.
int hostFor(const FullRun& run, int tone) {
    for (int h = 0; h < PSG_TONES; ++h)
        if (h != tone && run.voiceChannel[std::size_t(h)] >= 0 && run.psg.attenuation[h] < SILENT &&
            inUnison(run, tone, h))
            return h;
    return -1;
}

}  // namespace

void joinWaitingTones(FullRun& run) {
    std::uint8_t hosts = 0;  // bit v: tone v's level changes with the tones joined to it
    for (int t = 0; t < PSG_TONES; ++t) {
        int& host = run.joinedTo[std::size_t(t)];
        if (host >= 0) hosts |= std::uint8_t(1 << host);
        host = (run.voicesWaiting & (1 << t)) ? hostFor(run, t) : -1;
        if (host >= 0) hosts |= std::uint8_t(1 << host);
    }
    for (int h = 0; h < PSG_TONES; ++h)
        if (hosts & (1 << h)) updateVoice(run, h);
}

std::uint8_t voicesLeftOut(const FullRun& run) {
    std::uint8_t out = run.voicesWaiting;
    for (int t = 0; t < PSG_TONES; ++t)
        if (run.joinedTo[std::size_t(t)] >= 0) out &= std::uint8_t(~(1 << t));
    return out;
}

int unisonBoostTl(const FullRun& run, int tone) {
    if (tone >= PSG_TONES) return 0;
    // Square waves at one pitch and unrelated phases add their powers: 10^(-0.2 a) each, at
    // 2 dB an attenuation step, relative to the tone's own.
    double power = 1;
    bool joined = false;
    for (int t = 0; t < PSG_TONES; ++t)
        if (run.joinedTo[std::size_t(t)] == tone) {
            power += std::pow(10.0, -0.2 * (run.psg.attenuation[t] - run.psg.attenuation[tone]));
            joined = true;
        }
    return joined ? int(std::lround(10 * std::log10(power) / 0.75)) : 0;
}
