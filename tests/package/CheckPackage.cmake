# cmake -DCPACK=... -DCONFIG=.../CPackConfig.cmake -DMODULE=.../Pixelmoor.8bf
#       -DSOURCE=<source folder> -DWORK=<scratch folder> -P CheckPackage.cmake
# Makes the release package and checks it as a person who downloads it would
# find it: the zip's name carries the version from Version.h; it holds
# exactly the plug-in, the install guide, the licence and the picture; the
# plug-in is byte for byte the one built; the texts have Windows line ends;
# and the .sha256 file beside the zip matches it.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/unpacked)

file(STRINGS ${SOURCE}/src/resources/Version.h lines REGEX "^#define PIXELMOOR_VERSION_(MAJOR|MINOR|PATCH) ")
foreach(part MAJOR MINOR PATCH)
  string(REGEX MATCH "PIXELMOOR_VERSION_${part} +([0-9]+)" found "${lines}")
  list(APPEND version ${CMAKE_MATCH_1})
endforeach()
list(JOIN version "." version)
set(zip Pixelmoor-${version}-win64.zip)

execute_process(COMMAND ${CPACK} --config ${CONFIG} -B ${WORK}/out RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE out)
message("$ cpack --config ${CONFIG} -B ${WORK}/out\n${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc})")
endif()
file(GLOB made RELATIVE ${WORK}/out ${WORK}/out/*.zip ${WORK}/out/*.sha256)
list(SORT made)
if(NOT made STREQUAL "${zip};${zip}.sha256")
  message(FATAL_ERROR "cpack made '${made}', expected ${zip} and ${zip}.sha256")
endif()

# The checksum file, in the form sha256sum -c reads.
file(READ ${WORK}/out/${zip}.sha256 sum_line)
file(SHA256 ${WORK}/out/${zip} actual)
if(NOT sum_line MATCHES "^${actual}  ${zip}\n$")
  message(FATAL_ERROR "${zip}.sha256 says '${sum_line}', the zip's SHA-256 is ${actual}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${WORK}/out/${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" listing "${listing}")
list(SORT listing)
if(NOT rc EQUAL 0 OR NOT listing STREQUAL "LICENSE.txt;Pixelmoor.8bf;README.txt;comparison.png")
  message(FATAL_ERROR "the zip holds '${listing}'")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${WORK}/out/${zip} WORKING_DIRECTORY ${WORK}/unpacked
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the zip cannot be unpacked")
endif()

foreach(pair "Pixelmoor.8bf=${MODULE}" "comparison.png=${SOURCE}/docs/sample-comparison.png")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 packed)
  list(GET pair 1 original)
  file(SHA256 ${WORK}/unpacked/${packed} a)
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
foreach(needed "Pixelmoor ${version} for 64-bit Windows" "INSTALLING" "CHECKING THAT IT LOADED" "UNINSTALLING"
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
message("package ok: ${zip}, ${actual}")
