// What one run of opmcast-full converts: the logs named and those in the folders named, each
// with the program it becomes, decided before any is converted.
#pragma once

#include <string>
#include <vector>

#include "full/driver/command_line.hpp"

struct Job {
    std::string input;    // the log as named, or found in a folder
    std::string output;   // the program
    std::string refusal;  // why it is not converted, "" when it is
    std::vector<std::string> warnings;
};

// Every log in input order (a folder's in name order); two that would make the same program:
// the first converts, the second is refused; the same log named twice converts once.
std::vector<Job> planJobs(const Options& options);

// An album's tracks: every log in input order (a folder's in name order), without programs of
// their own; a folder without logs is refused.
std::vector<Job> planAlbum(const Options& options);

// song.vgm, song.vgz, song.vgm.gz, SONG.VGZ: the name without its extensions.
std::string stemOf(const std::string& fileName);

// The folders on the way to `folder` (it too) that do not exist yet: those a run makes.
std::vector<std::string> foldersToMake(const std::string& folder);
// Removes each of `made` that is left empty, deepest first, as rmdir would: a run leaves no
// folder it made without writing into it.
void removeEmptyFolders(std::vector<std::string> made);
