// opmcast-full: converts VGM logs of the YM2612 and SN76489 into X68000 programs that play
// everything the X68000's OPM can: the FM channels at true pitch with their LFO, all three PSG
// tone voices and the noise, and the DAC's drums on the ADPCM.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "channels/console.hpp"
#include "full/driver/album.hpp"
#include "full/driver/command_line.hpp"
#include "full/driver/conversion_plan.hpp"
#include "full/driver/convert_log.hpp"
#include "full/driver/disk_album.hpp"
#include "full/driver/job_runner.hpp"
#include "full/driver/summary.hpp"
#include "full/driver/write_errors.hpp"

namespace {

namespace fs = std::filesystem;

JobOutput convertJob(const Job& job, const Options& options) {
    JobOutput output;
    for (const std::string& warning : job.warnings)
        output.err += job.input + ": warning: " + warning + "\n";
    std::string error = job.refusal;
    ConvertRequest request{.input = job.input,
                           .output = job.output,
                           .maxSize = options.maxSize,
                           .loops = options.loops,
                           .fadeSeconds = options.fadeSeconds,
                           .display = options.display,
                           .japanese = options.japanese,
                           .lengthSeconds = options.lengthSeconds};
    ConvertResult result;
    std::error_code ignored;
    if (error.empty() && fs::equivalent(job.input, job.output, ignored))
        error = "the program would replace the log itself: " + job.output;
    if (error.empty()) {
        // A subfolder mirrored under -o DIR, or the folder -o NAME.x names.
        if (const fs::path folder = fs::path(job.output).parent_path();
            (!options.outputDir.empty() || !options.outputProgram.empty()) && !folder.empty())
            fs::create_directories(folder, ignored);
        result = convertLog(request);
        error = result.error;
        if (error.starts_with("cannot write "))
            error = whyNotWritable(job.output, result.writeError, result.programSize);
    }
    if (!error.empty()) {
        output.err += job.input + ": " + error + "\n";
        output.failed = true;
        return output;
    }
    if (result.cutShort) output.err += cutShortWarning(job.input, result);
    if (!options.quiet) output.out = summaryLines(request, result);
    return output;
}

// -o DIR is made as mkdir -p would, once, before any conversion; "" or why it cannot be.
std::string prepareOutputDir(const std::string& dir) {
    if (dir.empty()) return "";
    std::error_code error;
    if (fs::exists(dir, error) && !fs::is_directory(dir, error))
        return "cannot write into " + dir + ": it is a file, not a folder";
    fs::create_directories(dir, error);
    if (error) return "cannot make the folder " + dir + ": " + error.message();
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    ignoreWriteSignals();
    Options options;
    if (const auto wrong = parseCommandLine(argc, argv, options)) {
        std::fprintf(stderr, "opmcast-full: %s\nTry 'opmcast-full --help'\n", wrong->c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(FULL_USAGE, stdout);
        return 0;
    }
    if (options.version) {
        std::puts("opmcast-full " OPMCAST_VERSION);
        return 0;
    }
    // The folders this run makes: those it writes nothing into are removed at its end.
    std::vector<std::string> made = foldersToMake(options.outputDir);
    if (const std::string wrong = prepareOutputDir(options.outputDir); !wrong.empty()) {
        std::fprintf(stderr, "opmcast-full: %s\n", wrong.c_str());
        removeEmptyFolders(made);
        return 1;
    }
    if (!options.album.empty() || !options.disk.empty()) {
        const std::string folder =
            fs::path(options.album.empty() ? options.disk : options.album).parent_path().string();
        made = foldersToMake(folder);
        if (const std::string wrong = prepareOutputDir(folder); !wrong.empty()) {
            std::fprintf(stderr, "opmcast-full: %s\n", wrong.c_str());
            removeEmptyFolders(made);
            return 1;
        }
        const int status = options.disk.empty() ? makeAlbum(options) : makeDisks(options);
        removeEmptyFolders(made);
        releaseInterrupts();
        return status;
    }
    const std::vector<Job> jobs = planJobs(options);
    for (const Job& job : jobs)
        for (std::string& folder : foldersToMake(fs::path(job.output).parent_path().string()))
            made.push_back(std::move(folder));
    int workers = options.jobs;
    if (workers == 0) workers = int(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
    int failures = 0;
    std::size_t ended = 0;
    const int interrupt = runJobs(
        jobs.size(), workers, [&](std::size_t i) { return convertJob(jobs[i], options); },
        [&](std::size_t i, const JobOutput& output) {
            std::fputs(output.err.c_str(), stderr);
            if (output.crashed)
                std::fprintf(stderr, "%s: the conversion stopped unexpectedly\n",
                             jobs[i].input.c_str());
            std::fputs(output.out.c_str(), stdout);
            std::fflush(stdout);
            std::fflush(stderr);
            failures += output.failed;
            ++ended;
            releaseInterrupts();  // an interrupt held since the program's rename
        });
    removeEmptyFolders(made);
    if (interrupt != 0) {
        std::fprintf(stderr, "opmcast-full: interrupted: %zu of %zu logs not converted\n",
                     jobs.size() - ended, jobs.size());
        std::fflush(stderr);
        std::signal(interrupt, SIG_DFL);
        std::raise(interrupt);
    }
    return failures == 0 ? 0 : 1;
}
