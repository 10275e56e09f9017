#include "full/driver/disk_album.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "full/disk/boot_loader.hpp"
#include "full/disk/xdf_image.hpp"
#include "full/driver/album.hpp"
#include "full/driver/conversion_plan.hpp"
#include "full/driver/display_text.hpp"
#include "full/driver/x68k_names.hpp"
#include "full/player/full_player.hpp"

namespace {

namespace fs = std::filesystem;

// Room kept on each disk for README.TXT.
constexpr std::int64_t TEXT_ROOM = 16 * std::int64_t(XDF_SECTOR_SIZE);

struct Disk {
    std::string path;       // the image
    std::string program;    // its program's name on the disk, Shift-JIS, "OUT.X"
    std::size_t first = 0;  // its tracks: inputs[first, first + count)
    std::size_t count = 0;
    AlbumMemory album;
};

// The blank disk every image starts from: a data disk, whose boot sector says so when booted.
std::string blankDisk(XdfImage& image) {
    return blankXdfImage(image, dataDiskBootLoader());
}

// The program's name: the image's, fitted to 18.3 as --x68k-names fits names, in capitals.
std::string programName(const std::string& image) {
    std::set<std::string> taken;
    std::string name = shiftJisText(x68kStem(fs::path(image).stem().string(), taken)) + ".X";
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte >= 0x81 && (byte <= 0x9F || byte >= 0xE0))
            ++i;  // a two-byte character
        else if (byte >= 'a' && byte <= 'z')
            name[i] = char(byte - 'a' + 'A');
    }
    return name;
}

// The images' names: OUT.xdf for one disk, else OUT1.xdf, OUT2.xdf, ...
std::string diskPath(const std::string& disk, std::size_t number, std::size_t disks) {
    if (disks == 1) return disk;
    const fs::path path(disk);
    fs::path numbered = path;
    numbered.replace_filename(path.stem().string() + std::to_string(number) +
                              path.extension().string());
    return numbered.string();
}

// README.TXT: what is on the disk and how to play it, Shift-JIS with CR LF.
std::string readme(const Disk& disk, std::size_t number, std::size_t disks) {
    const std::string stem = disk.program.substr(0, disk.program.size() - 2);
    std::string text = "Music for the Sharp X68000, made by opmcast-full";
    if (disks > 1)
        text += " (disk " + std::to_string(number) + " of " + std::to_string(disks) + ")";
    text += "\r\n\r\n" + disk.program + " plays these tracks, " + clockText(disk.album.seconds) +
            " in all:\r\n";
    for (std::size_t i = 0; i < disk.album.names.size(); ++i) {
        char head[32];  // room for any number, so the compiler sees no truncation
        std::snprintf(head, sizeof head, "%4zu  ", i + 1);
        text += head + shiftJisText(disk.album.names[i]) + "\r\n";
    }
    text +=
        "\r\nTo play it: boot a Human68k system disk, put this disk in drive B and type\r\n"
        "  B:" +
        stem +
        "\r\n"
        "\r\nKeys: n next track, p previous (or this one again), 1-9 that track,\r\n"
        "space pause, q or ESC quit.\r\n";
    return text;
}

// A temporary name for an album's program while it is made.
std::string albumScratch(const std::string& disk) {
    const fs::path path(disk);
    fs::path scratch = path;
    scratch.replace_filename("." + path.stem().string() + "-" + std::to_string(::getpid()) +
                             ".album.x");
    return scratch.string();
}

// Makes the album of inputs[first, first + count); 0 when made, 1 when not.
int albumOfTracks(const Options& base, const std::vector<std::string>& inputs, std::size_t first,
                  std::size_t count, bool probing, AlbumMemory& memory) {
    Options options = base;
    options.inputs.assign(inputs.begin() + std::ptrdiff_t(first),
                          inputs.begin() + std::ptrdiff_t(first + count));
    options.album = albumScratch(base.disk);
    if (probing) options.quiet = true;
    memory = AlbumMemory{};
    memory.probing = probing;
    const int status = makeAlbum(options, memory);
    std::error_code ignored;
    fs::remove(options.album, ignored);
    return memory.program.empty() ? 1 : status;
}

// Makes each disk's album again, with its line for the screen, and writes the images.
int albumDisks(const Options& options, Options base, const std::vector<std::string>& inputs,
               std::vector<Disk>& disks, const XdfImage& blank, XdfStamp stamp) {
    if (disks.empty()) {
        std::fprintf(stderr, "opmcast-full: disk %s not made: no logs to make it of\n",
                     options.disk.c_str());
        return 1;
    }

    // Each disk's album, made again with its line for the screen, and its image.
    int status = 0;
    std::vector<XdfImage> images;
    for (std::size_t i = 0; i < disks.size(); ++i) {
        Disk& disk = disks[i];
        disk.path = diskPath(options.disk, i + 1, disks.size());
        disk.program = programName(disk.path);
        if (disks.size() > 1)
            base.diskLabel =
                "disk " + std::to_string(i + 1) + " of " + std::to_string(disks.size());
        status |= albumOfTracks(base, inputs, disk.first, disk.count, false, disk.album);
        XdfImage image = blank;
        const std::string text = readme(disk, i + 1, disks.size());
        std::string why = disk.album.program.empty() ? "its album was not made" : "";
        if (why.empty()) why = addXdfFile(image, disk.program, disk.album.program, stamp);
        if (why.empty())
            why = addXdfFile(image, "README.TXT",
                             {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
                             stamp);
        if (!why.empty()) {
            std::fprintf(stderr, "%s: not made: %s\n", disk.path.c_str(), why.c_str());
            return 1;
        }
        images.push_back(std::move(image));
    }
    // Every image or none.
    for (std::size_t i = 0; i < disks.size(); ++i) {
        if (const std::string why = writeXdfImage(disks[i].path, images[i]); !why.empty()) {
            std::fprintf(stderr, "%s: %s\n", disks[i].path.c_str(), why.c_str());
            for (std::size_t j = 0; j < i; ++j) {
                std::error_code ignored;
                fs::remove(disks[j].path, ignored);
            }
            return 1;
        }
        if (options.quiet) continue;
        const Disk& disk = disks[i];
        const std::size_t tracks = disk.album.names.size();
        std::printf("%s: disk %zu of %zu, %s: %zu %s, %s; %lld bytes free\n", disk.path.c_str(),
                    i + 1, disks.size(), disk.program.c_str(), tracks,
                    tracks == 1 ? "track" : "tracks", clockText(disk.album.seconds).c_str(),
                    static_cast<long long>(xdfFreeBytes(images[i])));
    }
    return status;
}

}  // namespace

int makeDisks(const Options& options) {
    XdfImage blank;
    if (const std::string why = blankDisk(blank); !why.empty()) {
        std::fprintf(stderr, "%s: %s\n", options.disk.c_str(), why.c_str());
        return 1;
    }
    Options base = options;
    // --max-size (1 MiB unless given, what a stock X68000 loads) or the disk's room, less
    // README.TXT's, whichever is less.
    const std::int64_t room = xdfFreeBytes(blank) - TEXT_ROOM;
    base.maxSize = std::min(options.maxSize, room);
    XdfStamp stamp;
    if (const std::string why = xdfConversionStamp(stamp); !why.empty()) {
        std::fprintf(stderr, "opmcast-full: %s\n", why.c_str());
        return 1;
    }
    std::vector<std::string> inputs;
    for (const Job& job : planAlbum(options)) inputs.push_back(job.input);
    const std::size_t most = std::size_t(FULL_ALBUM_MOST_TRACKS);

    // The tracks in order, on each disk as many as its album holds.
    std::vector<Disk> disks;
    for (std::size_t first = 0; first < inputs.size();) {
        Disk disk;
        disk.first = first;
        std::size_t fits = 0, fails = std::min(inputs.size() - first, most) + 1;
        AlbumMemory album;
        // The largest number of tracks whose album fits: the rest first, then halves.
        for (std::size_t count = fails - 1; fits + 1 < fails;) {
            if (albumOfTracks(base, inputs, first, count, true, album) == 0 ||
                (!album.program.empty() && options.skipBad)) {
                fits = count;
            } else if (album.tooLarge) {
                fails = count;
            } else if (options.skipBad && !disks.empty() && first + count == inputs.size()) {
                // The rest fail: skipped on the last disk, where they take no room.
                disks.back().count += count;
                return albumDisks(options, base, inputs, disks, blank, stamp);
            } else {
                // Made again to say why, in full.
                albumOfTracks(base, inputs, first, count, false, album);
                return 1;
            }
            count = (fits + fails) / 2;
        }
        if (fits == 0) {
            std::fprintf(stderr,
                         "%s: does not fit on a disk even with its drums at the lowest rate\n",
                         inputs[first].c_str());
            return 1;
        }
        disk.count = fits;
        disks.push_back(std::move(disk));
        first += fits;
    }
    return albumDisks(options, base, inputs, disks, blank, stamp);
}
