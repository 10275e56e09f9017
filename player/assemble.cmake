# Assembles a player source (vgmstub.s or fullplayer.s) into its flat .bin and checks what the
# converters rely on: no relocations (the code must be position-independent) and exactly SIZE
# bytes (header, CODE bytes of code, 12-byte data section): 446 and 370 for vgmstub.s, 1676 and
# 1600 for fullplayer.s. The data disk's boot loader (bootloader.s) has no header: its code
# starts at offset 0 (CODE_START=0).
#
# Variables: AS, OBJCOPY, OBJDUMP (tools), SOURCE (the .s), OUTPUT (the .bin), SIZE, CODE,
# CODE_START (the code's file offset, 64 when not given).

get_filename_component(workdir "${OUTPUT}" DIRECTORY)
get_filename_component(name "${OUTPUT}" NAME_WE)
get_filename_component(binary "${OUTPUT}" NAME)
set(object "${workdir}/${name}.o")

get_filename_component(source_dir "${SOURCE}" DIRECTORY)
execute_process(COMMAND "${AS}" -m68000 --pcrel -I "${source_dir}" -o "${object}" "${SOURCE}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "assembling ${SOURCE} failed (code longer than ${CODE} bytes?)")
endif()

execute_process(COMMAND "${OBJDUMP}" -r "${object}" OUTPUT_VARIABLE relocations
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump -r failed on ${object}")
endif()
if(relocations MATCHES "R_68K_")
  message(FATAL_ERROR "${SOURCE} needs relocations; use PC-relative addressing:\n${relocations}")
endif()

execute_process(COMMAND "${OBJCOPY}" -O binary -j .text "${object}" "${OUTPUT}.tmp"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objcopy failed on ${object}")
endif()

# Code size: the label codeend marks the end of the code, which starts at file offset
# CODE_START.
if(NOT DEFINED CODE_START)
  set(CODE_START 64)
endif()
execute_process(COMMAND "${OBJDUMP}" -t "${object}" OUTPUT_VARIABLE symbols)
if(symbols MATCHES "([0-9a-f]+)[^\n]*codeend")
  math(EXPR code_size "0x${CMAKE_MATCH_1} - ${CODE_START}")
  message(STATUS "${binary}: player code ${code_size} of ${CODE} bytes")
endif()

file(SIZE "${OUTPUT}.tmp" size)
if(NOT size EQUAL SIZE)
  file(REMOVE "${OUTPUT}.tmp")
  message(FATAL_ERROR "${binary} is ${size} bytes; it must be exactly ${SIZE}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
