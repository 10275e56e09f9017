#include "tests/full_tool_run.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string readText(const std::string& name) {
    std::ifstream in(name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ToolResult runFull(const ScratchDir& dir, std::vector<std::string> args, bool asNobody,
                   const RunConditions& conditions) {
    const std::string outName = dir.file(".out"), errName = dir.file(".err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (conditions.interruptAfterMs > 0) ::setpgid(0, 0);  // a group of its own, as a shell's
        if (conditions.fileSizeLimit > 0) {
            const rlimit limit{rlim_t(conditions.fileSizeLimit), rlim_t(conditions.fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        const int out = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::chdir(dir.path.c_str()) != 0) ::_exit(126);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::alarm(60);
        if (asNobody && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(125);
        std::string program = OPMCAST_FULL_BINARY;
        std::vector<char*> argv{program.data()};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (conditions.interruptAfterMs > 0) {
        ::setpgid(pid, pid);  // whichever of the two comes first
        ::usleep(useconds_t(conditions.interruptAfterMs) * 1000);
        ::kill(-pid, SIGINT);
    }
    ::waitpid(pid, &status, 0);
    ToolResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                      readText(outName), readText(errName)};
    std::filesystem::remove(outName);
    std::filesystem::remove(errName);
    return result;
}
