#include "full/driver/job_runner.hpp"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

namespace {

// A job's output as its process writes it into the pipe: the failed flag, then each text's
// length (8 bytes) and bytes.
std::string encode(const JobOutput& output) {
    std::string bytes(1, output.failed ? '\1' : '\0');
    for (const std::string* text : {&output.out, &output.err}) {
        std::uint64_t length = text->size();
        bytes.append(reinterpret_cast<const char*>(&length), sizeof length);
        bytes += *text;
    }
    return bytes;
}

std::optional<JobOutput> decode(const std::string& bytes) {
    JobOutput output;
    if (bytes.empty()) return std::nullopt;
    output.failed = bytes[0] != 0;
    std::size_t at = 1;
    for (std::string* text : {&output.out, &output.err}) {
        std::uint64_t length = 0;
        if (bytes.size() - at < sizeof length) return std::nullopt;
        std::memcpy(&length, bytes.data() + at, sizeof length);
        at += sizeof length;
        if (bytes.size() - at < length) return std::nullopt;
        text->assign(bytes, at, length);
        at += length;
    }
    return output;
}

void writeAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += std::size_t(n);
    }
}

struct Running {
    std::size_t job;
    pid_t pid;
    std::string bytes;
};

constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};
volatile std::sig_atomic_t interruptedBy = 0;

void noteInterrupt(int signal) {
    interruptedBy = signal;
}

sigset_t interruptSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : INTERRUPTS) sigaddset(&set, signal);
    return set;
}

}  // namespace

void holdInterrupts() {
    const sigset_t set = interruptSet();
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
}

void releaseInterrupts() {
    const sigset_t set = interruptSet();
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

int runJobs(std::size_t count, int workers, const std::function<JobOutput(std::size_t)>& work,
            const std::function<void(std::size_t, const JobOutput&)>& done) {
    if (workers <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i) done(i, work(i));
        return 0;
    }
    // An interrupt is noted, not obeyed at once: the jobs under way end first (without
    // SA_RESTART, poll returns at once).
    struct sigaction noting = {}, before[std::size(INTERRUPTS)];
    noting.sa_handler = noteInterrupt;
    sigemptyset(&noting.sa_mask);
    interruptedBy = 0;
    for (std::size_t s = 0; s < std::size(INTERRUPTS); ++s)
        ::sigaction(INTERRUPTS[s], &noting, &before[s]);
    std::map<int, Running> running;  // by the pipe's reading end
    std::map<std::size_t, JobOutput> finished;
    std::size_t next = 0;     // the next job to start
    std::size_t printed = 0;  // the jobs handed on so far
    bool passedOn = false;    // the interrupt has gone to the jobs under way
    while (printed < count) {
        if (interruptedBy != 0) {
            if (!passedOn)
                for (const auto& entry : running) ::kill(entry.second.pid, interruptedBy);
            passedOn = true;
            if (running.empty()) break;
        }
        while (interruptedBy == 0 && next < count && running.size() < std::size_t(workers)) {
            int ends[2];
            if (::pipe(ends) != 0) {  // no pipe: this one in this process
                finished[next] = work(next);
                ++next;
                break;
            }
            const pid_t pid = ::fork();
            if (pid == 0) {
                for (std::size_t s = 0; s < std::size(INTERRUPTS); ++s)
                    ::sigaction(INTERRUPTS[s], &before[s], nullptr);
                ::close(ends[0]);
                writeAll(ends[1], encode(work(next)));
                ::_exit(0);
            }
            ::close(ends[1]);
            if (pid < 0) {
                ::close(ends[0]);
                finished[next] = work(next);
            } else {
                running[ends[0]] = {next, pid, {}};
            }
            ++next;
        }
        while (finished.count(printed)) {
            done(printed, finished[printed]);
            finished.erase(printed++);
        }
        if (running.empty()) continue;
        std::vector<pollfd> fds;
        for (const auto& entry : running) fds.push_back({entry.first, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        for (const pollfd& fd : fds) {
            if (!(fd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Running& job = running[fd.fd];
            char buffer[65536];
            const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
            if (n > 0) {
                job.bytes.append(buffer, std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            ::close(fd.fd);
            int status = 0;
            while (::waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
            }
            std::optional<JobOutput> output = decode(job.bytes);
            const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (!output || !clean) {
                output = JobOutput{};
                output->failed = output->crashed = true;
            }
            // A job the interrupt stopped wrote nothing (its temporary file is removed).
            if (!(interruptedBy != 0 && output->crashed)) finished[job.job] = std::move(*output);
            running.erase(fd.fd);
        }
    }
    // After an interrupt: every job that ended whole, in order, past those that did not.
    for (auto& [job, output] : finished) done(job, output);
    const int signal = interruptedBy;
    for (std::size_t s = 0; s < std::size(INTERRUPTS); ++s)
        ::sigaction(INTERRUPTS[s], &before[s], nullptr);
    return signal;
}
