# Run by cpack after it has made the zip and before it writes the checksum
# (CPACK_POST_BUILD_SCRIPTS). Two jobs:
#
# 1. Write the zip again with fixed bytes. CPack's own zip carries what the
#    build machine happens to have: each entry's modification, access and
#    change times, the builder's user and group ids, and entries in the order
#    the file system lists them. Here every entry gets the same time (below),
#    fixed permissions, no extra fields, and the entries come in byte order of
#    their names. Info-ZIP's zip writes it; -X leaves out the extra fields and
#    the time is written in UTC.
# 2. Put the symbol file beside the zip, with its own .sha256 in the form
#    cpack writes for the zip.
#
# The entries' time is the release's: SOURCE_DATE_EPOCH when set, else the
# time of the commit checked out in the source tree, else (sources without
# git history and no SOURCE_DATE_EPOCH) 1 January 1980, the earliest time a
# zip can hold, with a warning.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  # Only the source tree's own history counts, not that of a repository it
  # was unpacked into.
  execute_process(COMMAND git -C ${CPACK_PIXELMOOR_SOURCE_DIR} rev-parse --show-toplevel
                  RESULT_VARIABLE rc OUTPUT_VARIABLE top ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${CPACK_PIXELMOOR_SOURCE_DIR}" source)
    if(top STREQUAL source)
      execute_process(COMMAND git -C ${CPACK_PIXELMOOR_SOURCE_DIR} log -1 --format=%ct
                      RESULT_VARIABLE rc OUTPUT_VARIABLE epoch ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    else()
      set(rc 1)
    endif()
  endif()
  if(NOT rc EQUAL 0)
    set(epoch 315532800)
    message(WARNING "No SOURCE_DATE_EPOCH and no git history in ${CPACK_PIXELMOOR_SOURCE_DIR}: "
                    "the zip's entries are dated 1980-01-01")
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$" OR epoch LESS 315532800)
  message(FATAL_ERROR "The release time '${epoch}' is not a time a zip can hold (seconds since 1970, from 1980 on)")
endif()

find_program(ZIP zip)
find_program(TOUCH touch)
if(NOT ZIP OR NOT TOUCH)
  message(FATAL_ERROR "Info-ZIP's zip and touch are needed to write the release zip (scripts/deps.sh installs them)")
endif()

set(stage ${CPACK_TEMPORARY_DIRECTORY})
file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
list(SORT entries)
foreach(entry ${entries})
  if(entry MATCHES "\\.8bf$")
    set(mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    set(mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
  file(CHMOD ${stage}/${entry} FILE_PERMISSIONS ${mode})
  execute_process(COMMAND ${TOUCH} -m -d @${epoch} ${stage}/${entry} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Cannot set the time of ${stage}/${entry}")
  endif()
endforeach()

foreach(package ${CPACK_PACKAGE_FILES})
  file(REMOVE ${package})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${ZIP} -X -D -q ${package} ${entries}
                  WORKING_DIRECTORY ${stage} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "zip could not write ${package} (${rc})")
  endif()
endforeach()

get_filename_component(symbols_name ${CPACK_PIXELMOOR_SYMBOL_FILE} NAME)
if(NOT EXISTS ${CPACK_PIXELMOOR_SYMBOL_FILE})
  message(FATAL_ERROR "The symbol file ${CPACK_PIXELMOOR_SYMBOL_FILE} is missing: build Pixelmoor first")
endif()
file(COPY_FILE ${CPACK_PIXELMOOR_SYMBOL_FILE} ${CPACK_PACKAGE_DIRECTORY}/${symbols_name})
file(SHA256 ${CPACK_PACKAGE_DIRECTORY}/${symbols_name} sum)
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/${symbols_name}.sha256 "${sum}  ${symbols_name}\n")
message(STATUS "- symbol file: ${CPACK_PACKAGE_DIRECTORY}/${symbols_name} and its .sha256")
