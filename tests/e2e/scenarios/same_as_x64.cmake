# The ARM64 module gives the x64 module's output byte for byte: the same
# images, the same settings and the same clock (so the same seed) through the
# ARM64 pmhost under arm64 Wine and the x64 pmhost under x64 Wine. Given also:
# X64_RUNNER (scripts/wine-run), X64_PMHOST and X64_PIXELMOOR from the x64
# (mingw) build.
include(${HELPERS})
foreach(file ${X64_PMHOST} ${X64_PIXELMOOR})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "${file} is missing: build the x64 module and pmhost first (cmake --build --preset mingw)")
  endif()
endforeach()

# x64_host(<pmhost arguments>...): the x64 pmhost on the x64 module.
function(x64_host)
  execute_process(COMMAND ${X64_RUNNER} ${X64_PMHOST} --quiet --timeout 120 ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 180)
  message("$ x64 pmhost ${ARGN}\n${out}")
  if(NOT "${rc}" STREQUAL "0")
    message(FATAL_ERROR "the x64 pmhost exited with ${rc}")
  endif()
endfunction()

function(same a b)
  file(SHA256 ${WORK}/${a} sum_a)
  file(SHA256 ${WORK}/${b} sum_b)
  if(NOT sum_a STREQUAL sum_b)
    message(FATAL_ERROR "${a} and ${b} differ: the ARM64 and the x64 module disagree")
  endif()
  message("same: ${a} ${b} (${sum_a})")
endfunction()

pm_gen(rgb 301 203 in.png)
pm_gen(rgba 97 64 in4.png)
set(clock 1780000000)
# Dithering (the default) on the whole image with the host's tiles; then a
# rectangular selection on an image with alpha, with small tiles; then
# dithering off (a registry entry set to false).
set(key 723b5e70-4e05-11de-8a39-0800200c9a66)
file(WRITE ${WORK}/off.txt "entry ${key}\n'dith' bool false\nend\n")
file(COPY_FILE ${WORK}/off.txt ${WORK}/off-x64.txt)
pm_host(0 --clock ${clock} --answer ok --registry none ${MODULE} in.png arm64.png)
x64_host(--clock ${clock} --answer ok --registry none ${X64_PIXELMOOR} in.png x64.png)
same(arm64.png x64.png)
pm_host(0 --clock ${clock} --answer ok --registry none --tile 16x8 --select 5,7,60,41 ${MODULE} in4.png arm64-4.png)
x64_host(--clock ${clock} --answer ok --registry none --tile 16x8 --select 5,7,60,41 ${X64_PIXELMOOR} in4.png x64-4.png)
same(arm64-4.png x64-4.png)
pm_host(0 --clock ${clock} --answer ok --registry off.txt ${MODULE} in.png arm64-off.png)
x64_host(--clock ${clock} --answer ok --registry off-x64.txt ${X64_PIXELMOOR} in.png x64-off.png)
same(arm64-off.png x64-off.png)

# The clock is the seed: another second dithers otherwise (else the runs
# above would match whatever the seed).
math(EXPR later "${clock} + 1")
pm_host(0 --clock ${later} --answer ok --registry none ${MODULE} in.png arm64-later.png)
file(SHA256 ${WORK}/arm64.png first)
file(SHA256 ${WORK}/arm64-later.png second)
if(first STREQUAL second)
  message(FATAL_ERROR "two clocks gave the same dithering: --clock does not reach the module's seed")
endif()
