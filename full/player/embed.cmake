# Writes fullplayer.bin as the C++ array behind fullPlayerBytes() (full_player.hpp).
#
# Variables: INPUT (the .bin), OUTPUT (the .cpp to write).

file(SIZE "${INPUT}" size)
if(NOT size EQUAL 1676)
  message(FATAL_ERROR "${INPUT} is ${size} bytes; the player must be exactly 1676")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
set(lines "")
foreach(start RANGE 0 ${digits} 32)  # sixteen bytes a line
  string(SUBSTRING "${hex}" ${start} 32 line)
  if(line)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " line "${line}")
    string(STRIP "${line}" line)
    string(APPEND lines "    ${line}\n")
  endif()
endforeach()
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT} by full/player/embed.cmake.\n"
     "#include \"full/player/full_player.hpp\"\n\n"
     "namespace {\n\n"
     "const std::uint8_t BYTES[FULL_PLAYER_SIZE] = {\n${lines}};\n\n"
     "}  // namespace\n\n"
     "std::span<const std::uint8_t, FULL_PLAYER_SIZE> fullPlayerBytes() {\n"
     "    return std::span<const std::uint8_t, FULL_PLAYER_SIZE>(BYTES);\n"
     "}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
