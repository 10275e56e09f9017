// The MFP (MC68901) registers and the OPM interrupt path through them: the OPM /IRQ line is the
// MFP's GPIP3 input.

#include <algorithm>
#include <iterator>

#include "sim_machine.hpp"

namespace opmsim {

namespace {

constexpr int MFP_GPIP = 0;
constexpr int MFP_IERB = 4;
constexpr int MFP_IPRB = 6;
constexpr int MFP_IMRB = 10;
constexpr int MFP_VR = 11;
constexpr std::uint8_t GPIP3 = 0x08;

int mfpRegister(Machine& m, std::uint64_t offset, unsigned size, const char* kind) {
    if (!ioAccess(m, MFP_BASE + std::uint32_t(offset), size, kind)) return -1;
    ++m.ioCount;
    int reg = int(offset >> 1);
    if (reg >= MFP_REGISTERS) {
        fail(m, format("%s at unused MFP address $%06X", kind, MFP_BASE + std::uint32_t(offset)));
        return -1;
    }
    return reg;
}

}  // namespace

// The MFP as the system leaves it: vector base $40, GPIP4 (V-DISP) in use, GPIP3 (OPM) as the
// options say.
void resetMfp(Machine& m) {
    m.mfp[MFP_GPIP] = 0xFF;
    m.mfp[MFP_VR] = 0x40;
    m.mfp[MFP_IERB] = std::uint8_t(0x40 | (m.opt.opmInterruptEnabled ? GPIP3 : 0));
    m.mfp[MFP_IMRB] = m.mfp[MFP_IERB];
    std::copy(std::begin(m.mfp), std::end(m.mfp), std::begin(m.mfpStart));
}

std::uint64_t onMfpRead(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    int reg = mfpRegister(m, offset, size, "read");
    if (reg < 0) return 0xFF;
    if (reg == MFP_GPIP) return opmIrq(m) ? 0xFF & ~GPIP3 : 0xFF;  // /IRQ is active low
    return m.mfp[reg];
}

void onMfpWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    int reg = mfpRegister(m, offset, size, "write");
    if (reg < 0) return;
    m.mfp[reg] = std::uint8_t(value);
    if (reg == MFP_IERB) m.mfp[MFP_IPRB] &= m.mfp[MFP_IERB];  // disabling clears pending
}

// With GPIP3 enabled and unmasked in the MFP, a raised OPM flag interrupts the CPU at level 6
// through vector 0x43, which the system's handler would take.
void checkOpmInterrupt(Machine& m) {
    if (opmIrq(m) && (m.mfp[MFP_IERB] & GPIP3) && (m.mfp[MFP_IMRB] & GPIP3) &&
        ((regRead(m, UC_M68K_REG_SR) >> 8) & 7) < 6) {
        fail(m, format("OPM interrupt (level 6, vector $%02X) would reach the CPU; interrupt "
                       "handlers are not modelled",
                       (m.mfp[MFP_VR] & 0xF0) | 3));
    }
}

}  // namespace opmsim
