// Times two commands run one after the other, in pairs, so that both see the same state of the
// machine: prints the median wall time of each (ms) and the median of the per-pair ratios.
//
//     paired_time RUNS -- COMMAND A ... -- COMMAND B ...
//
// Each command runs in the current folder with its output discarded; a command that fails
// stops the measurement with status 1.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Command = std::vector<char*>;

double runSeconds(const Command& command) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) ::_exit(126);
        ::execvp(command[0], command.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "paired_time: %s failed\n", command[0]);
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Command> commands;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            commands.emplace_back();
        } else if (!commands.empty()) {
            commands.back().push_back(argv[i]);
        }
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : 0;
    if (runs < 1 || commands.size() != 2 || commands[0].empty() || commands[1].empty()) {
        std::fprintf(stderr, "usage: paired_time RUNS -- COMMAND A ... -- COMMAND B ...\n");
        return 2;
    }
    for (Command& command : commands) command.push_back(nullptr);
    for (int i = 0; i < 3; ++i) runSeconds(commands[0]), runSeconds(commands[1]);  // warm up
    std::vector<double> a, b, ratios;
    for (int i = 0; i < runs; ++i) {
        a.push_back(runSeconds(commands[0]));
        b.push_back(runSeconds(commands[1]));
        ratios.push_back(a.back() / b.back());
    }
    std::printf("%.3f %.3f %.2f\n", median(a) * 1000, median(b) * 1000, median(ratios));
    return 0;
}
