# cmake -DCPACK=... -DCONFIG=.../CPackConfig.cmake -DMODULE=.../Pixelmoor.8bf
#       -DSYMBOLS=<the build's symbol file> -DOBJDUMP=... -DOBJCOPY=... -DADDR2LINE=...
#       -DSOURCE=<source folder> -DBUILD=<build folder> -DWORK=<scratch folder>
#       [-DMACHINE=win64|win-arm64] -P CheckPackage.cmake
# Makes the release package and checks it as a person who downloads it would
# find it: the zip's name carries the version from Version.h; it holds
# exactly the plug-in, the install guide, the licence and the picture, in
# byte order of their names; the plug-in is byte for byte the one built; the
# texts have Windows line ends; and the .sha256 file beside the zip matches
# it. Then as the person who reads a crash report would: the plug-in carries
# no debug information; the symbol file beside the zip, with its own .sha256,
# is the one its debug link names, with the CRC the link records; an address
# inside PluginMain resolves through it to PluginMain's source; and neither
# file holds the path of the folders it was built in. The ARM64 release
# (MACHINE win-arm64) is read with LLVM's tools, whose listings differ.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/unpacked)

file(STRINGS ${SOURCE}/src/resources/Version.h lines REGEX "^#define PIXELMOOR_VERSION_(MAJOR|MINOR|PATCH) ")
foreach(part MAJOR MINOR PATCH)
  string(REGEX MATCH "PIXELMOOR_VERSION_${part} +([0-9]+)" found "${lines}")
  list(APPEND version ${CMAKE_MATCH_1})
endforeach()
list(JOIN version "." version)
if(NOT MACHINE)
  set(MACHINE win64)
endif()
set(zip Pixelmoor-${version}-${MACHINE}.zip)
set(symbols Pixelmoor-${version}-${MACHINE}.debug)
if(MACHINE STREQUAL "win-arm64")
  set(title "Pixelmoor ${version} for Windows on ARM (ARM64)")
else()
  set(title "Pixelmoor ${version} for 64-bit Windows")
endif()

execute_process(COMMAND ${CPACK} --config ${CONFIG} -B ${WORK}/out RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE out)
message("$ cpack --config ${CONFIG} -B ${WORK}/out\n${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc})")
endif()
file(GLOB made LIST_DIRECTORIES false RELATIVE ${WORK}/out ${WORK}/out/*)
list(SORT made)
if(NOT made STREQUAL "${symbols};${symbols}.sha256;${zip};${zip}.sha256")
  message(FATAL_ERROR "cpack made '${made}', expected ${zip} and ${symbols}, each with its .sha256")
endif()

# The checksum files, in the form sha256sum -c reads.
foreach(artefact ${symbols} ${zip})
  file(READ ${WORK}/out/${artefact}.sha256 sum_line)
  file(SHA256 ${WORK}/out/${artefact} actual)
  if(NOT sum_line MATCHES "^${actual}  ${artefact}\n$")
    message(FATAL_ERROR "${artefact}.sha256 says '${sum_line}', the file's SHA-256 is ${actual}")
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${WORK}/out/${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" listing "${listing}")
# In the zip's own order, which is fixed (byte order of the names).
if(NOT rc EQUAL 0 OR NOT listing STREQUAL "LICENSE.txt;Pixelmoor.8bf;README.txt;comparison.png")
  message(FATAL_ERROR "the zip holds '${listing}', expected LICENSE.txt;Pixelmoor.8bf;README.txt;comparison.png in this order")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${WORK}/out/${zip} WORKING_DIRECTORY ${WORK}/unpacked
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the zip cannot be unpacked")
endif()

foreach(pair "unpacked/Pixelmoor.8bf=${MODULE}" "unpacked/comparison.png=${SOURCE}/docs/sample-comparison.png"
             "out/${symbols}=${SYMBOLS}")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 packed)
  list(GET pair 1 original)
  file(SHA256 ${WORK}/${packed} a)
  file(SHA256 ${original} b)
  if(NOT a STREQUAL b)
    message(FATAL_ERROR "${packed} in the zip is not byte for byte ${original}")
  endif()
endforeach()

# Plain ASCII text for Notepad, every line ending in CR LF. Read as hex:
# file(READ) drops carriage returns. In ASCII every byte's first hex digit is
# 0 to 7, so a match of "0d0a", "0a" or "0d" can only be a whole byte.
foreach(text README.txt LICENSE.txt)
  file(READ ${WORK}/unpacked/${text} hex HEX)
  if(NOT hex MATCHES "^([0-7][0-9a-f])*$")
    message(FATAL_ERROR "${text} is not plain ASCII")
  endif()
  string(REPLACE "0d0a" "" bare "${hex}")
  if(NOT hex MATCHES "0d0a$" OR bare MATCHES "0a|0d")
    message(FATAL_ERROR "${text} does not end every line with CR LF")
  endif()
endforeach()
file(READ ${WORK}/unpacked/README.txt readme)
foreach(needed "${title}" "WHICH DOWNLOAD" "Settings > System > About" "System type" "INSTALLING" "CHECKING THAT IT LOADED" "UNINSTALLING"
               "Filter > Tarnwick > Pixelmoor...")
  string(FIND "${readme}" "${needed}" at)
  if(at LESS 0)
    message(FATAL_ERROR "README.txt lacks \"${needed}\"")
  endif()
endforeach()
file(READ ${WORK}/unpacked/LICENSE.txt licence)
if(NOT licence MATCHES "^MIT License\n\nCopyright \\(c\\) 2026 Tarnwick\n")
  message(FATAL_ERROR "LICENSE.txt is not the MIT licence of Tarnwick")
endif()

# The shipped module: no debug information, only the link to its symbol file.
set(shipped ${WORK}/unpacked/Pixelmoor.8bf)
set(symbol_file ${WORK}/out/${symbols})
execute_process(COMMAND ${OBJDUMP} -h ${shipped} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -h failed on the shipped module")
endif()
string(REGEX MATCHALL "\\.debug_[a-z_]+" debug_sections "${sections}")
if(debug_sections)
  message(FATAL_ERROR "the shipped module carries debug sections: ${debug_sections}")
endif()

# The debug link: the symbol file's name, NUL-padded to 4 bytes, then the
# CRC-32 of the symbol file (little-endian). gzip's trailer holds the same
# CRC-32 of what it compressed, an independent reckoning of it.
# Read from objdump's hex dump of the section, which GNU's and LLVM's objdump
# both give for x64 and ARM64 modules alike (LLVM's objcopy dumps no COFF
# section): each line is an address, up to four groups of hex bytes, then two
# spaces and the text.
execute_process(COMMAND ${OBJDUMP} -s -j .gnu_debuglink ${shipped}
                RESULT_VARIABLE rc OUTPUT_VARIABLE dump ERROR_VARIABLE err)
string(REGEX MATCHALL "\n [0-9a-f]+ [0-9a-f ]+  " dump_lines "${dump}")
if(NOT rc EQUAL 0 OR NOT dump_lines)
  message(FATAL_ERROR "the shipped module has no debug link: ${err}")
endif()
set(link_hex "")
foreach(line IN LISTS dump_lines)
  string(REGEX REPLACE "^\n [0-9a-f]+ " "" line "${line}")
  string(REPLACE " " "" line "${line}")
  string(APPEND link_hex "${line}")
endforeach()
string(HEX "${symbols}" name_hex)
string(LENGTH "${name_hex}" name_length)
math(EXPR crc_at "((${name_length} / 2 + 4) / 4) * 8")
string(SUBSTRING "${link_hex}" 0 ${name_length} linked_name_hex)
string(SUBSTRING "${link_hex}" ${crc_at} -1 link_crc)
if(NOT linked_name_hex STREQUAL name_hex OR NOT link_hex MATCHES "^${name_hex}(00)+[0-9a-f]+$")
  message(FATAL_ERROR "the debug link does not name ${symbols}: ${link_hex}")
endif()
execute_process(COMMAND gzip -c -n ${symbol_file} OUTPUT_FILE ${WORK}/symbols.gz RESULT_VARIABLE rc)
file(SIZE ${WORK}/symbols.gz gz_size)
math(EXPR crc_offset "${gz_size} - 8")
file(READ ${WORK}/symbols.gz file_crc OFFSET ${crc_offset} LIMIT 4 HEX)
if(NOT rc EQUAL 0 OR NOT link_crc STREQUAL file_crc)
  message(FATAL_ERROR "the debug link records CRC ${link_crc}, ${symbols} has ${file_crc}")
endif()

# A crash address inside PluginMain, found as a host's report would lead to
# it: the export table and the function table (.pdata) of the shipped module
# give PluginMain's first and last byte; the middle of it must resolve,
# through the symbol file alone, to PluginMain in PluginMain.cpp (the
# outermost frame when code is inlined there).
execute_process(COMMAND ${OBJDUMP} -p ${shipped} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" found "${headers}")
set(image_base ${CMAKE_MATCH_1})
if(MACHINE STREQUAL "win-arm64")
  # LLVM's listing has no function table: the third instruction of
  # PluginMain, past the start of its prologue, stands for an address inside.
  string(REGEX MATCH "\n *[0-9]+ +0x([0-9a-fA-F]+) +PluginMain\n" found "${headers}")
  set(rva ${CMAKE_MATCH_1})
  set(export_index 1)
else()
  string(REGEX MATCH "\\[ *([0-9]+)\\] PluginMain\n" found "${headers}")
  set(export_index ${CMAKE_MATCH_1})
  string(REGEX MATCH "\\[ *${export_index}\\] \\+base\\[ *[0-9]+\\] ([0-9a-f]+) Export RVA" found "${headers}")
  set(rva ${CMAKE_MATCH_1})
endif()
if(NOT rc EQUAL 0 OR image_base STREQUAL "" OR export_index STREQUAL "" OR rva STREQUAL "")
  message(FATAL_ERROR "no image base or PluginMain export in the shipped module")
endif()
math(EXPR start "0x${image_base} + 0x${rva}" OUTPUT_FORMAT HEXADECIMAL)
if(MACHINE STREQUAL "win-arm64")
  math(EXPR inside "${start} + 8" OUTPUT_FORMAT HEXADECIMAL)
else()
  string(REGEX REPLACE "^0x" "" start_digits "${start}")
  string(REGEX MATCH "0*${start_digits} ([0-9a-f]+) [0-9a-f]+\n" found "${headers}")
  if(NOT found)
    message(FATAL_ERROR "the shipped module's function table has no entry starting at PluginMain (${start})")
  endif()
  math(EXPR inside "(${start} + 0x${CMAKE_MATCH_1}) / 2" OUTPUT_FORMAT HEXADECIMAL)
endif()
execute_process(COMMAND ${ADDR2LINE} -f -i -e ${symbol_file} ${inside} OUTPUT_VARIABLE frames RESULT_VARIABLE rc)
string(REGEX MATCH "([^\n]+)\n([^\n]+)\n$" found "${frames}")
set(function "${CMAKE_MATCH_1}")
set(line "${CMAKE_MATCH_2}")
if(NOT rc EQUAL 0 OR NOT function STREQUAL "PluginMain"
   OR NOT line MATCHES "^/pixelmoor/src/entry/PluginMain\\.cpp:[1-9][0-9]*")
  message(FATAL_ERROR "${inside} (inside PluginMain) resolves through ${symbols} to:\n${frames}")
endif()
message("${inside} resolves to ${function} at ${line}")

# No build paths: the folders the package was built from appear in neither
# the module nor its symbol file (their sources read as /pixelmoor/...).
foreach(folder ${SOURCE} ${BUILD})
  string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" folder_pattern "${folder}")
  foreach(binary ${shipped} ${symbol_file})
    file(STRINGS ${binary} hits REGEX "${folder_pattern}")
    if(hits)
      list(GET hits 0 hit)
      message(FATAL_ERROR "${binary} holds the build's path ${folder}: ${hit}")
    endif()
  endforeach()
endforeach()
message("package ok: ${zip}, ${actual}")
