// libFuzzer target: converts every input as a VGM file, inside this process, and checks the
// properties every conversion must have (fuzz/conversion_check.hpp). It also converts each
// input twice: a run must not depend on what an earlier run left behind.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/conversion_check.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t STUB_LENGTH = 446;
constexpr std::size_t PROLOGUE_LENGTH = 122;

fs::path workDir;
int startDir = -1;
Bytes stub;
Bytes prologue;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "conversion property violated: %s\n", what.c_str());
    std::abort();
}

// Conversions run in their own directory; libFuzzer's own paths stay relative to ours.
ConversionResult convertInWorkDir(const Bytes& vgm) {
    if (::chdir(workDir.c_str()) != 0) fail("cannot enter " + workDir.string());
    ConversionResult result = convertInProcess(vgm);
    if (::fchdir(startDir) != 0) fail("cannot return to the start directory");
    return result;
}

void removeWorkDir() {
    std::error_code ignored;
    fs::remove_all(workDir, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (fs::temp_directory_path() / "opmcast-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) fail("cannot make a work directory");
    workDir = pattern;
    std::atexit(removeWorkDir);
    startDir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (startDir < 0) fail("cannot open the start directory");

    // A stand-in player: the magic, then a pattern that shows where each byte went.
    stub.resize(STUB_LENGTH);
    for (std::size_t i = 0; i < STUB_LENGTH; ++i) stub[i] = std::uint8_t(i * 7 + 3);
    stub[0] = 'H';
    stub[1] = 'U';
    std::ofstream((workDir / "vgmstub.bin").string(), std::ios::binary)
        .write(reinterpret_cast<const char*>(stub.data()), std::streamsize(stub.size()));

    // Data that ends at once gives the prologue alone, followed by the end marker.
    Bytes empty(0x41, 0);
    empty[0] = 'V', empty[1] = 'g', empty[2] = 'm', empty[3] = ' ';
    empty[0x34] = 0x0C;
    empty[0x40] = 0x66;
    const ConversionResult r = convertInWorkDir(empty);
    if (r.exitStatus != 0 || r.output.size() != STUB_LENGTH + PROLOGUE_LENGTH + 2)
        fail("the prologue-only conversion does not give 570 bytes");
    prologue.assign(r.output.begin() + 434, r.output.begin() + 434 + PROLOGUE_LENGTH);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes vgm(data, data + size);
    const ConversionResult first = convertInWorkDir(vgm);
    const std::string problem = checkConversion(vgm, stub, prologue, first);
    if (!problem.empty()) fail(problem);
    const ConversionResult again = convertInWorkDir(vgm);
    if (again.exitStatus != first.exitStatus || again.console != first.console ||
        again.output != first.output)
        fail("a second conversion of the same input differs");
    return 0;
}
