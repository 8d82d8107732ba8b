# cmake -DSOURCE_DIR=<src folder> -P CheckRooms.cmake
# Each folder of src/ is a room. A file may include headers of its own room,
# the plain identifier headers of resources/, and headers of the rooms below
# its own:
#
#   entry  ->  convert, settings, ui  ->  host
#
# never a room above it, nor one beside it. resources/ includes only itself.
get_filename_component(SOURCE_DIR "${SOURCE_DIR}" ABSOLUTE)
set(rank_host 0)
set(rank_convert 1)
set(rank_settings 1)
set(rank_ui 1)
set(rank_entry 2)

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.rc
     ${SOURCE_DIR}/*.in)
list(SORT files)
set(include_pattern "^[ \t]*#[ \t]*include[ \t]*\"([^/\"]+)/[^\"]*\"")
set(faults "")
set(checked 0)
foreach(file ${files})
  string(REGEX MATCH "^[^/]+" room "${file}")
  file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "${include_pattern}")
  foreach(line ${lines})
    math(EXPR checked "${checked} + 1")
    string(REGEX REPLACE "${include_pattern}.*" "\\1" target "${line}")
    if(target STREQUAL room OR target STREQUAL "resources")
      continue()
    endif()
    if(DEFINED rank_${room} AND DEFINED rank_${target})
      if(rank_${target} LESS rank_${room})
        continue()
      endif()
    endif()
    list(APPEND faults "${file}: ${line}")
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "includes of a room above or beside the file's own:\n  ${text}")
endif()
message(STATUS "${checked} includes across rooms and within them, none upwards or sideways")
