# Outputs that do not exist yet are compared as the files they will be: two
# spellings that reach the same folder, followed by the same name in any case,
# are one file. Each pair below names one new file for two images; the run
# must be refused before anything is written. A control run of two distinct
# new files through the same spellings goes ahead.
include(${HELPERS})
# The accented names reach Wine as UTF-8 whatever the caller's locale.
set(ENV{LC_ALL} C.UTF-8)
pm_gen(rgb 48 32 a.png)
pm_gen(gray 40 24 b.png)

set(BS "\\")
string(REPLACE "/" "${BS}" here "Z:${WORK}")
file(MAKE_DIRECTORY ${WORK}/real "${WORK}/long folder name")
file(CREATE_LINK ${WORK}/real ${WORK}/link SYMBOLIC)
execute_process(COMMAND ${RUNNER} ${PMCHECK} shortname "long folder name" WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE rc OUTPUT_VARIABLE short OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc STREQUAL "0" OR short STREQUAL "" OR short STREQUAL "long folder name")
  message(FATAL_ERROR "no short name for the long folder name (${rc}): ${short}")
endif()

# A folder inside the Wine prefix's drive C:, reached as C:\... and as its
# Z:\ spelling (the prefix's own folder on the Unix side). The prefix is the
# one the runner gives Wine: scripts/wine-run's, or scripts/arm64-run's for
# the ARM64 build. The arm64 tree sees this checkout, and the prefix inside
# it, at the same path as outside, so the Z:\ spelling is the same there.
get_filename_component(runner_dir ${RUNNER} DIRECTORY)
get_filename_component(runner_name ${RUNNER} NAME)
if(runner_name STREQUAL "arm64-run")
  set(prefix_variable PIXELMOOR_ARM64_WINEPREFIX)
  set(prefix ${runner_dir}/../build/wineprefix-arm64)
else()
  set(prefix_variable PIXELMOOR_WINEPREFIX)
  set(prefix ${runner_dir}/../build/wineprefix)
endif()
if(DEFINED ENV{${prefix_variable}} AND NOT "$ENV{${prefix_variable}}" STREQUAL "")
  set(prefix $ENV{${prefix_variable}})
endif()
get_filename_component(prefix ${prefix} ABSOLUTE)
string(MAKE_C_IDENTIFIER "${WORK}" tag)
string(MD5 tag "${tag}")
set(drive_c_folder ${prefix}/drive_c/windows/temp/pmhost-identity-${tag})
file(REMOVE_RECURSE ${drive_c_folder})
file(MAKE_DIRECTORY ${drive_c_folder})
string(REPLACE "/" "${BS}" drive_c_on_z "Z:${drive_c_folder}")

# pm_one_file(<what> <first spelling> <second spelling> <files that must not appear>...)
function(pm_one_file what first second)
  pm_host(1 --answer ok --registry none ${MODULE} a.png "${first}" b.png "${second}")
  pm_expect("a\\.png and b\\.png would both be written to .*; nothing converted")
  foreach(file ${ARGN})
    if(EXISTS "${file}")
      message(FATAL_ERROR "${what}: a run that writes one file twice converted an image (${file})")
    endif()
  endforeach()
endfunction()

pm_one_file("a symbolic link to the folder" real/new.png link/new.png ${WORK}/real/new.png)
pm_one_file("drive C: and its Z: spelling" "C:${BS}windows${BS}temp${BS}pmhost-identity-${tag}${BS}new.png"
            "${drive_c_on_z}${BS}new.png" ${drive_c_folder}/new.png)
pm_one_file("a long folder name and its short name" "long folder name${BS}new.png" "${short}${BS}new.png"
            "${WORK}/long folder name/new.png")
pm_one_file("with and without the \\\\?\\ prefix" "${BS}${BS}?${BS}${here}${BS}new.png" new.png ${WORK}/new.png)
pm_one_file("a name in two cases beyond ASCII" "Été.png" "été.png" "${WORK}/Été.png" "${WORK}/été.png")
pm_one_file("a new folder in two cases" "Été/new.png" "ÉTÉ/NEW.png" "${WORK}/Été/new.png" "${WORK}/ÉTÉ/NEW.png")

# Distinct new files through the same spellings are not one file.
pm_host(0 --answer ok --registry none ${MODULE} a.png "link/été.png" b.png "${short}${BS}ete.png")
foreach(file "real/été.png" "long folder name/ete.png")
  if(NOT EXISTS "${WORK}/${file}")
    message(FATAL_ERROR "the run of two distinct new files did not write ${file}")
  endif()
endforeach()

file(REMOVE_RECURSE ${drive_c_folder})
pm_no_partial_files()
