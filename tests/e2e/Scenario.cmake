# Helpers for the end-to-end scenarios, included by every scenario script.
# Given: RUNNER (scripts/wine-run), PMHOST, PMCHECK, MODULE (the .8bf under
# test), PIXELMOOR, BROKEN, WORK (the scenario's own scratch folder).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# pm_gen(<kind> <width> <height> <file>): a test image made by pmcheck.
function(pm_gen kind w h file)
  execute_process(COMMAND ${RUNNER} ${PMCHECK} gen ${kind} ${w} ${h} ${file} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 120)
  if(NOT "${rc}" STREQUAL "0")
    message(FATAL_ERROR "making ${file} failed (${rc}): ${out}")
  endif()
endfunction()

# pm_damage(<truncate|huge> <from> <file>): a copy of a test image that a
# host must refuse to read.
function(pm_damage kind from file)
  execute_process(COMMAND ${RUNNER} ${PMCHECK} damage ${kind} ${from} ${file} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 120)
  if(NOT "${rc}" STREQUAL "0")
    message(FATAL_ERROR "making ${file} failed (${rc}): ${out}")
  endif()
endfunction()

# pm_no_partial_files(): the host left no temporary output file anywhere in
# the scratch folder (it writes each output under a temporary name first).
function(pm_no_partial_files)
  file(GLOB_RECURSE left ${WORK}/*.pmhost-partial)
  if(left)
    message(FATAL_ERROR "half-written files were left behind: ${left}")
  endif()
endfunction()

# pm_host(<expected exit code> <pmhost arguments>...): runs the host in the
# scratch folder; its output lands in PM_OUTPUT. A crash (6) or a hang (7, or
# the timeout here) never matches an expected code of 0 to 5.
function(pm_host expected)
  execute_process(COMMAND ${RUNNER} ${PMHOST} --quiet --timeout 120 ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 180)
  message("$ pmhost ${ARGN}\n${out}")
  if(NOT "${rc}" STREQUAL "${expected}")
    message(FATAL_ERROR "pmhost exited with ${rc}, expected ${expected}")
  endif()
  set(PM_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

# pm_check(<pmcheck check arguments>...): the output must pass.
# pm_check_fails(<pmcheck check arguments>...): the output must fail.
function(_pm_check_exits expected failure)
  execute_process(COMMAND ${RUNNER} ${PMCHECK} check ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 120)
  message("$ pmcheck check ${ARGN}\n${out}")
  if(NOT "${rc}" STREQUAL "${expected}")
    message(FATAL_ERROR "${failure}")
  endif()
endfunction()
function(pm_check)
  _pm_check_exits(0 "the output fails its checks" ${ARGN})
endfunction()
function(pm_check_fails)
  _pm_check_exits(1 "the checks passed an output that they should reject" ${ARGN})
endfunction()

# pm_expect(<regex>) / pm_reject(<regex>): on the last pmhost output.
# Functions, not macros: a macro would strip the regex's backslashes.
function(pm_expect regex)
  if(NOT PM_OUTPUT MATCHES "${regex}")
    message(FATAL_ERROR "pmhost's output lacks \"${regex}\"")
  endif()
endfunction()
function(pm_reject regex)
  if(PM_OUTPUT MATCHES "${regex}")
    message(FATAL_ERROR "pmhost's output has \"${regex}\"")
  endif()
endfunction()

# pm_validate(<expected exit code> <pmhost --validate arguments>...): runs the
# validator in the scratch folder; its table lands in PM_OUTPUT.
function(pm_validate expected)
  execute_process(COMMAND ${RUNNER} ${PMHOST} --validate ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 280)
  message("$ pmhost --validate ${ARGN}\n${out}")
  if(NOT "${rc}" STREQUAL "${expected}")
    message(FATAL_ERROR "pmhost --validate exited with ${rc}, expected ${expected}")
  endif()
  set(PM_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

# pm_verdicts(<json file> <module index> <prefix>): sets <prefix>_pass,
# <prefix>_skip and <prefix>_other (fail, crash, hang) to the lists of
# scenario names of that module in a --json file, and <prefix>_detail_<name>
# and <prefix>_result_<name> to each row's detail and result.
function(pm_verdicts file module prefix)
  file(READ ${WORK}/${file} json)
  string(JSON count LENGTH "${json}" modules ${module} scenarios)
  set(passed_rows "")
  set(skipped_rows "")
  set(other_rows "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET "${json}" modules ${module} scenarios ${i} name)
    string(JSON result GET "${json}" modules ${module} scenarios ${i} result)
    string(JSON detail GET "${json}" modules ${module} scenarios ${i} detail)
    # MATCHES, not STREQUAL: a script's quoted words may be variable names.
    if(result MATCHES "^pass$")
      list(APPEND passed_rows ${name})
    elseif(result MATCHES "^skip$")
      list(APPEND skipped_rows ${name})
    else()
      list(APPEND other_rows ${name})
    endif()
    set(${prefix}_detail_${name} "${detail}" PARENT_SCOPE)
    set(${prefix}_result_${name} "${result}" PARENT_SCOPE)
  endforeach()
  set(${prefix}_pass "${passed_rows}" PARENT_SCOPE)
  set(${prefix}_skip "${skipped_rows}" PARENT_SCOPE)
  set(${prefix}_other "${other_rows}" PARENT_SCOPE)
endfunction()
