#include "full/driver/conversion_plan.hpp"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "full/driver/x68k_names.hpp"

namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isLogName(const fs::path& path) {
    const std::string name = lower(path.filename().string());
    return name.ends_with(".vgm") || name.ends_with(".vgz") || name.ends_with(".vgm.gz");
}

// The folder of `log` relative to `top`: empty for `top` itself.
fs::path relativeFolder(const fs::path& log, const fs::path& top) {
    const fs::path relative = log.parent_path().lexically_relative(top);
    return relative == "." ? fs::path() : relative;
}

// The logs in a folder (and its subfolders with `recursive`), by name; each with its folder
// relative to the one named.
std::vector<std::pair<fs::path, fs::path>> logsIn(const fs::path& folder, bool recursive) {
    std::vector<std::pair<fs::path, fs::path>> logs;
    std::error_code error;
    const auto add = [&](const fs::directory_entry& entry) {
        std::error_code ignored;
        if (entry.is_regular_file(ignored) && isLogName(entry.path()))
            logs.emplace_back(entry.path(), relativeFolder(entry.path(), folder));
    };
    if (recursive) {
        for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error))
            add(*it);
    } else {
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error))
            add(*it);
    }
    std::sort(logs.begin(), logs.end());
    return logs;
}

// Two spellings of one path compare equal ("" is the current folder, as "." is).
std::string pathKey(const std::string& path) {
    std::error_code error;
    const fs::path absolute =
        fs::weakly_canonical(fs::absolute(path.empty() ? "." : path, error), error);
    return absolute.lexically_normal().string();
}

// The folders -r mirrors under -o DIR, each named once: as it is, with a warning when an
// X68000 cannot hold its name, or with --x68k-names made to fit and unique among its siblings.
struct MirroredFolders {
    std::map<std::string, fs::path> madeOf;                      // by the folder as named
    std::map<std::string, std::set<std::string>> takenByParent;  // names given, for fitting
    std::vector<std::string> warnings;                           // for the folders new here
};

fs::path mirroredFolder(const fs::path& top, const fs::path& relative, bool fit,
                        MirroredFolders& mirrored) {
    fs::path named = top, made = top;
    for (const fs::path& part : relative) {
        named /= part;
        const auto [it, added] = mirrored.madeOf.emplace(pathKey(named.string()), fs::path());
        if (!added) {
            made = it->second;
            continue;
        }
        const std::string name = part.string();
        if (fit) {
            made /= x68kFolderName(name, mirrored.takenByParent[pathKey(made.string())]);
        } else {
            made /= name;
            if (const std::string problem = x68kNameProblem(name); !problem.empty())
                mirrored.warnings.push_back("an X68000 cannot hold the folder name " +
                                            made.string() + " (" + problem +
                                            "); --x68k-names writes names that fit");
        }
        it->second = made;
    }
    return made;
}

constexpr const char* NAMED_TWICE = "named more than once: converted once";

std::string noLogsIn(const Options& options) {
    return options.recursive ? "no .vgm, .vgz or .vgm.gz files in this folder or its subfolders"
                             : "no .vgm, .vgz or .vgm.gz files in this folder";
}

}  // namespace

std::string stemOf(const std::string& fileName) {
    fs::path name = fs::path(fileName).filename();
    if (lower(name.extension().string()) == ".gz") name = name.stem();
    if (!name.extension().empty()) name = name.stem();
    return name.string();
}

std::vector<Job> planAlbum(const Options& options) {
    std::vector<Job> tracks;
    for (const std::string& input : options.inputs) {
        std::error_code error;
        if (!fs::is_directory(input, error)) {
            tracks.push_back({input, options.album, "", {}});
            continue;
        }
        const auto logs = logsIn(input, options.recursive);
        if (logs.empty()) tracks.push_back({input, "", noLogsIn(options), {}});
        for (const auto& log : logs) tracks.push_back({log.first.string(), options.album, "", {}});
    }
    return tracks;
}

std::vector<Job> planJobs(const Options& options) {
    std::vector<Job> jobs;
    // Where each log's program goes: the folder, then the name.
    std::vector<fs::path> folders;
    MirroredFolders mirrored;
    for (const std::string& input : options.inputs) {
        std::error_code error;
        if (!fs::is_directory(input, error)) {
            jobs.push_back({input, "", "", {}});
            folders.push_back(options.outputDir.empty() ? fs::path(input).parent_path()
                                                        : fs::path(options.outputDir));
            continue;
        }
        const auto logs = logsIn(input, options.recursive);
        if (logs.empty()) jobs.push_back({input, "", noLogsIn(options), {}});
        if (logs.empty()) folders.emplace_back();
        for (const auto& [log, relative] : logs) {
            jobs.push_back({log.string(), "", "", {}});
            if (options.outputDir.empty()) {
                folders.push_back(log.parent_path());
                continue;
            }
            folders.push_back(
                mirroredFolder(options.outputDir, relative, options.x68kNames, mirrored));
            // The folder's warnings go with its first log.
            jobs.back().warnings = std::move(mirrored.warnings);
            mirrored.warnings.clear();
        }
    }
    std::map<std::string, std::set<std::string>> takenByFolder;  // for --x68k-names
    std::map<std::string, std::string> inputByOutput;
    std::map<std::string, std::size_t> firstNamed;  // by the log and where it goes
    std::vector<bool> namedBefore(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        if (!job.refusal.empty()) continue;
        // The same log named twice for one folder: converted once.
        const std::string named = pathKey(job.input) + '\n' + pathKey(folders[i].string());
        if (const auto [first, added] = firstNamed.emplace(named, i); !added) {
            std::vector<std::string>& warnings = jobs[first->second].warnings;
            if (jobs[first->second].refusal.empty() &&
                std::find(warnings.begin(), warnings.end(), NAMED_TWICE) == warnings.end())
                warnings.push_back(NAMED_TWICE);
            namedBefore[i] = true;
            continue;
        }
        if (!options.outputProgram.empty()) {  // -o NAME.x, for one log
            job.output = options.outputProgram;
            continue;
        }
        std::string stem = stemOf(job.input);
        if (options.x68kNames) stem = x68kStem(stem, takenByFolder[pathKey(folders[i].string())]);
        job.output = (folders[i] / (stem + ".x")).string();
        const auto [previous, added] = inputByOutput.emplace(pathKey(job.output), job.input);
        if (!added) {
            job.refusal = "not converted: " + previous->second + " converts to " + job.output +
                          " too (name one of them apart, or use another -o)";
            continue;
        }
        if (!options.x68kNames)
            if (const std::string problem = x68kNameProblem(stem + ".x"); !problem.empty())
                job.warnings.push_back("an X68000 cannot hold the name " + stem + ".x (" + problem +
                                       "); --x68k-names writes names that fit");
    }
    std::vector<Job> kept;
    for (std::size_t i = 0; i < jobs.size(); ++i)
        if (!namedBefore[i]) kept.push_back(std::move(jobs[i]));
    return kept;
}

std::vector<std::string> foldersToMake(const std::string& folder) {
    // Each folder on the way that does not exist yet; "a/.." is no folder of its own.
    std::vector<std::string> missing;
    fs::path path;
    for (const fs::path& part : fs::path(folder)) {
        path /= part;
        std::error_code error;
        if (part.empty() || part == "." || part == "..") continue;
        if (!fs::exists(path, error) && !error) missing.push_back(path.string());
    }
    return missing;
}

void removeEmptyFolders(std::vector<std::string> made) {
    // A folder's path is longer than those of the folders above it: deepest first.
    std::sort(made.begin(), made.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& folder : made) {
        std::error_code error;
        if (fs::is_directory(folder, error) && fs::is_empty(folder, error) && !error)
            fs::remove(folder, error);
    }
}
