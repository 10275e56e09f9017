#include "translate/opm_image.hpp"

#include <cstring>

void initOpmShadow(OpmShadow& shadow, SourceLatches& latches) {
    static constexpr std::uint8_t MULTIPLE_BY_OPERATOR[4] = {7, 5, 3, 1};
    std::memset(&shadow, 0, sizeof shadow);
    std::memset(&latches, 0, sizeof latches);
    for (std::uint16_t& pitch : latches.convertedPitch) pitch = NO_PITCH;
    OpmImage& w = shadow.wanted;
    w.lfoFreq = 1;
    for (int c = 0; c < OPM_CHANNELS; ++c) {
        w.connect[c] = 0xC7;  // both outputs, feedback 0, algorithm 7: four carriers
        for (int op = 0; op < 4; ++op) {
            const int s = slotOf(c, op);
            w.opParam[0][s] = MULTIPLE_BY_OPERATOR[op];
            w.opParam[1][s] = 0x7F;  // silent
            w.opParam[2][s] = 0x1F;  // fastest attack
            w.opParam[5][s] = 0xFF;  // D1L 15, RR 15
        }
    }
    markEverythingChanged(shadow);
}

void markEverythingChanged(OpmShadow& shadow) {
    shadow.changed.lastField = EVERY_FIELD;
}
