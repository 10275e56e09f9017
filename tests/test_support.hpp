// Shared helpers for the tests: scratch directories, files, hand-made VGM data and running
// the built program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct ScratchDir {
    std::filesystem::path path;
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return (path / name).string(); }
};

void writeFile(const std::string& name, const Bytes& bytes);
Bytes readFile(const std::string& name);

// A VGM file: a 0x40-byte header ("Vgm ", the loop offset field at 0x1C and the data
// offset field at 0x34 as given) followed by the command bytes.
Bytes makeVgm(const Bytes& commands, std::uint32_t loopOffset = 0, std::uint32_t dataOffset = 0x0C);

// A stand-in for the player stub: 'H', 'U' and then a recognisable pattern.
Bytes makeDummyStub(std::size_t length = 446);

// The 122 bytes every stream starts with.
const Bytes& streamPrologue();

struct ProgramResult {
    int exitStatus = -1;
    std::string console;  // everything the program wrote to standard output
};

// Runs the converter in dir with the given arguments. It is killed after a minute, so a run
// that hangs fails instead of stopping the suite. fileSizeLimit > 0 makes every write beyond
// that many bytes fail, as on a full disk (the signal keeps its default action). unprivileged runs
// it as user "nobody" when the tests run as root, so that file permissions apply.
ProgramResult runConverter(const std::string& dir, const std::vector<std::string>& args,
                           long fileSizeLimit = 0, bool unprivileged = false);

// The same in two steps, for tests that act while the converter runs: its console is a
// pipe that nobody reads until finishConverter.
struct RunningConverter {
    int pid;
    int console;
};
RunningConverter startConverter(const std::string& dir, const std::vector<std::string>& args,
                                long fileSizeLimit = 0, bool unprivileged = false);
// The same for another build of the converter.
RunningConverter startProgram(std::string program, const std::string& dir,
                              const std::vector<std::string>& args, long fileSizeLimit = 0,
                              bool unprivileged = false);
// consoleBytes >= 0 stops reading the console after that many bytes and closes it.
ProgramResult finishConverter(RunningConverter running, long consoleBytes = -1);

std::filesystem::path corpusDir();
// The .vgm files of the corpus, sorted; empty when the corpus is absent.
std::vector<std::filesystem::path> corpusFiles();
// The names in a folder, sorted.
std::vector<std::string> filesIn(const ScratchDir& dir);
Bytes concat(std::initializer_list<Bytes> parts);
