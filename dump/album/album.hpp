// An album of opmcast-full: one program that plays several songs (tracks) one after the
// other. The long word at file offset 76 gives the text offset of its table: the number of
// tracks (word, 1 to 999), flags (word; bit 0: start again at track 1 after the last), then
// 12 bytes a track: its stream's text offset (long), its display block's (long, 0: none), its
// passes before the fade (word, 0: until a key) and a spare word. The parts follow the head
// in this order, each ending where the next begins: the tracks' streams, the one bank of
// drums they share, the album's display block, the tracks' display blocks, the table, then
// the player tail.
#pragma once

#include "dump/program/executable_stream.hpp"

struct Album {
    std::uint64_t length = 0;     // of the file
    std::uint32_t sizeField = 0;  // the header's text size
    std::uint64_t tableAt = 0;    // file offset of the table
    std::uint16_t flags = 0;
    std::optional<DrumBank> bank;         // shared by every track
    std::optional<DisplayBlock> display;  // the album's: the keys and the track list
    // Each track as a song: its pairs, passes, fade and display block; its bank is the
    // album's (albumTrack).
    std::vector<ExecutableStream> tracks;
};

// Whether the file is an album: the full player's head with the album field set.
bool isAlbumProgram(const Bytes& file);

// Checks the whole album before anything is reported: the layout as for a song, the table
// (1 to 999 tracks, ending at the player tail), every offset even and between the head and
// the table, the parts in their order each ending where the next begins, every track's
// stream ending with its end marker (or its fade) at its part's end, the bank, the display
// blocks, the head's passes 0 and the text size.
std::optional<Problem> readAlbum(const Bytes& file, Album& album);

// Track `index` (from 0) as a program of one song with the album's bank.
ExecutableStream albumTrack(const Album& album, std::size_t index);
