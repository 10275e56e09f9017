# Writes an assembled X68000 binary as a C++ array behind an accessor: by default fullplayer.bin
# behind fullPlayerBytes() (full_player.hpp).
#
# Variables: INPUT (the .bin), OUTPUT (the .cpp to write); for another binary SIZE (its exact
# size in bytes), HEADER (the header declaring the accessor), FUNCTION (the accessor's name) and
# EXTENT (the span's extent: a constant, or empty for a span of any length).

if(NOT DEFINED SIZE)
  set(SIZE 1676)
  set(HEADER full/player/full_player.hpp)
  set(FUNCTION fullPlayerBytes)
  set(EXTENT FULL_PLAYER_SIZE)
endif()
file(SIZE "${INPUT}" size)
if(NOT size EQUAL SIZE)
  message(FATAL_ERROR "${INPUT} is ${size} bytes; it must be exactly ${SIZE}")
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
if(EXTENT)
  set(array_size ${EXTENT})
  set(span "std::span<const std::uint8_t, ${EXTENT}>")
else()
  set(array_size ${SIZE})
  set(span "std::span<const std::uint8_t>")
endif()
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT} by full/player/embed.cmake.\n"
     "#include \"${HEADER}\"\n\n"
     "namespace {\n\n"
     "const std::uint8_t BYTES[${array_size}] = {\n${lines}};\n\n"
     "}  // namespace\n\n"
     "${span} ${FUNCTION}() {\n"
     "    return ${span}(BYTES);\n"
     "}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
