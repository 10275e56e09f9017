#include "tests/test_support.hpp"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "opmcast-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

void writeFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + name);
}

Bytes readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

static void putLong(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

Bytes makeVgm(const Bytes& commands, std::uint32_t loopOffset, std::uint32_t dataOffset) {
    Bytes vgm(0x40 + commands.size(), 0);
    vgm[0] = 'V', vgm[1] = 'g', vgm[2] = 'm', vgm[3] = ' ';
    putLong(vgm, 0x08, 0x150);
    putLong(vgm, 0x1C, loopOffset);
    putLong(vgm, 0x34, dataOffset);
    std::copy(commands.begin(), commands.end(), vgm.begin() + 0x40);
    return vgm;
}

Bytes makeDummyStub(std::size_t length) {
    Bytes stub(length);
    for (std::size_t i = 0; i < length; ++i) stub[i] = std::uint8_t(i * 7 + 3);
    stub[0] = 'H';
    stub[1] = 'U';
    return stub;
}

const Bytes& streamPrologue() {
    static const Bytes prologue = [] {
        Bytes b = {0x00, 0x00, 0x0F, 0x00, 0x18, 0x01};
        for (int c = 6; c < 8; ++c) {
            for (int base : {0x20, 0x28, 0x30, 0x38}) {
                b.push_back(std::uint8_t(base + c));
                b.push_back(base == 0x20 ? 0xC7 : 0x00);
            }
            const int multiple[4] = {7, 5, 3, 1};
            for (int op = 0; op < 4; ++op) {
                const int s = c + 8 * op;
                const int values[6] = {multiple[op], 0x7F, 0x1F, 0, 0, 0xFF};
                for (int row = 0; row < 6; ++row) {
                    b.push_back(std::uint8_t(0x40 + 0x20 * row + s));
                    b.push_back(std::uint8_t(values[row]));
                }
            }
        }
        for (std::uint8_t key : {0x7E, 0x7F}) b.insert(b.end(), {0x08, key});
        return b;
    }();
    return prologue;
}

// The build folder may be closed to other users: "nobody" runs a copy in an open folder.
static std::string converterFor(bool unprivileged) {
    if (!unprivileged || ::geteuid() != 0) return OPMCAST_BINARY;
    static const ScratchDir openDir;
    static const std::string copy = [] {
        namespace fs = std::filesystem;
        fs::permissions(openDir.path, fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
        const fs::path target = openDir.path / "opmcast";
        fs::copy_file(OPMCAST_BINARY, target);
        fs::permissions(target, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
        return target.string();
    }();
    return copy;
}

RunningConverter startConverter(const std::string& dir, const std::vector<std::string>& args,
                                long fileSizeLimit, bool unprivileged) {
    return startProgram(converterFor(unprivileged), dir, args, fileSizeLimit, unprivileged);
}

RunningConverter startProgram(std::string program, const std::string& dir,
                              const std::vector<std::string>& args, long fileSizeLimit,
                              bool unprivileged) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::signal(SIGPIPE, SIG_DFL);
        ::alarm(60);  // kept across exec
        if (fileSizeLimit > 0) {
            const rlimit limit = {rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (unprivileged && ::geteuid() == 0) {
            const gid_t nobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
                ::_exit(125);
        }
        std::vector<char*> argv;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

ProgramResult finishConverter(RunningConverter running, long consoleBytes) {
    ProgramResult result;
    char chunk[4096];
    for (ssize_t n; consoleBytes != 0 && (n = ::read(running.console, chunk, sizeof chunk)) > 0;) {
        result.console.append(chunk, std::size_t(n));
        if (consoleBytes > 0 && long(result.console.size()) >= consoleBytes) break;
    }
    ::close(running.console);
    int status = 0;
    ::waitpid(running.pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ProgramResult runConverter(const std::string& dir, const std::vector<std::string>& args,
                           long fileSizeLimit, bool unprivileged) {
    return finishConverter(startConverter(dir, args, fileSizeLimit, unprivileged));
}

std::filesystem::path corpusDir() {
    return OPMCAST_CORPUS_DIR;
}

std::vector<std::filesystem::path> corpusFiles() {
    std::vector<std::filesystem::path> files;
    std::error_code absent;
    for (const auto& entry : std::filesystem::directory_iterator(corpusDir(), absent))
        if (entry.path().extension() == ".vgm") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> filesIn(const ScratchDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
