// Runs conversions several at a time, each in a process of its own (the file channels are
// one table per process), and hands their output on in the order of the inputs.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

struct JobOutput {
    std::string out;  // for stdout
    std::string err;  // for stderr
    bool failed = false;
    bool crashed = false;  // the process ended without handing its output back
};

// work(i) for every i below count, `workers` at a time; done(i, output) in order of i, each as
// soon as it and all before it have ended. One worker, or one job: in this process.
// An interrupt (SIGINT, SIGTERM, SIGHUP) starts no more jobs and is passed on to those under
// way; done() then comes for every job that ended whole, in order, and the signal is
// returned (0 when none came).
int runJobs(std::size_t count, int workers, const std::function<JobOutput(std::size_t)>& work,
            const std::function<void(std::size_t, const JobOutput&)>& done);

// From a program's rename into place until its line is printed, an interrupt waits: a program
// on the disk always has its line. Held until released, or until the process ends.
void holdInterrupts();
void releaseInterrupts();
