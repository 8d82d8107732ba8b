# pmhost --validate on the strangers: small filter modules that Pixelmoor's
# validator was not written against (tests/e2e/strangers/Stranger.cpp), the
# correct ones differing from Pixelmoor in allowed ways, the faulty ones each
# with a fault that a real host suffers.
#
# First, always enforced: every stranger really is what the table says. The
# correct ones run cleanly on pmhost and on strangerprobe (a small host of its
# own, for what pmhost's command line cannot make); each faulty one shows its
# fault on one of them. A stranger that does not misbehave proves nothing.
#
# Then the validator's verdict on each, against the table: the table of
# expected and seen verdicts is printed, and a verdict that differs fails the
# test.
include(${HELPERS})
set(dir ${STRANGERS_DIR})

# probe(<variant> <regex>|CLEAN [probe options...]): runs strangerprobe on the
# variant; CLEAN asks for no fault at all, a regex for a fault line matching it.
function(probe variant expect)
  execute_process(COMMAND ${RUNNER} ${STRANGERPROBE} ${dir}/Stranger-${variant}.8bf ${ARGN}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 180)
  message("$ strangerprobe Stranger-${variant}.8bf ${ARGN}\n${out}")
  if(expect STREQUAL "CLEAN")
    if(NOT rc STREQUAL "0" OR out MATCHES "FAULT:")
      message(FATAL_ERROR "Stranger-${variant} misbehaved on the probe (exit ${rc})")
    endif()
  elseif(NOT out MATCHES "FAULT: [^\n]*${expect}")
    message(FATAL_ERROR "Stranger-${variant} did not show its fault (\"${expect}\") on the probe")
  endif()
endfunction()

# The correct filter, on every host situation the faulty ones fail in.
probe(plain CLEAN --tile 7 5 --runs 2 --footprint 20 --exit-loaded)
probe(plain CLEAN --tile 0 0)
probe(plain CLEAN --tile -16 -16)
probe(plain CLEAN --origin -8 --no-bigdoc --abandon)
probe(plain CLEAN --size 33000 2 --planes 1 --tile 1024 1024)
probe(plain CLEAN --fail-advance 2)

probe(tile-zero "more advanceState calls than the image has tiles" --tile 0 0)
probe(tile-zero "outside the filter rectangle" --tile -16 -16)
probe(negative-rect "the output is wrong" --origin -8 --no-bigdoc)
probe(bigdoc-32k "outside the filter rectangle: \\(0, -32768," --size 33000 2 --planes 1 --tile 1024 1024)
probe(refuse-after-abandon "the output is wrong" --abandon)
probe(exit-call "ReleaseSuite called after the process's exit handlers ran" --exit-loaded)
# 48 rows: the last row of the image, and the last row of the first 16-row tile.
probe(last-row "the output is wrong: [0-9]+ samples, the first plane 0 at \\(0, 47\\)")
probe(read-past "the output is wrong: [0-9]+ samples, the first plane 0 at \\(0, 15\\)")
probe(handle-leak "handles grow with the runs" --footprint 20)
probe(thread-leak "threads grow with the runs" --footprint 20)
probe(brush-leak "GDI objects grow with the runs" --footprint 20)
probe(wrong-progress "progress reported past its total")
probe(success-on-fail "start reported success after advanceState failed" --fail-advance 2)
probe(stale-pointer "a write through a pointer into a block that has moved")
probe(ignores-rowbytes "the output is wrong")
probe(continue-forever "continue still asks for data")
# Not a fault to fail on, but what it does must be there to be warned about.
probe(unlock-all "unlockProc on a handle that is not locked")

# pmhost: the about box, tilings, selections and the size limit.
pm_gen(rgb 64 48 in.png)
pm_gen(circle 64 48 mask.png)
pm_gen(rgb 3000 8 wide.png)

pm_host(0 --about --answer ok --press 4 --no-file-list-suite ${dir}/Stranger-plain.8bf)
execute_process(COMMAND ${RUNNER} ${PMHOST} --quiet --timeout 60 --about --answer ok --press 4 --no-file-list-suite
                        ${dir}/Stranger-about-throw.8bf
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 120)
message("$ pmhost --about ... Stranger-about-throw.8bf\n${out}")
if(rc STREQUAL "0" OR NOT out MATCHES "terminate called")
  message(FATAL_ERROR "Stranger-about-throw did not end the host with its C++ error (exit ${rc})")
endif()

foreach(variant plain tiling-dependent)
  pm_host(0 --answer ok --tile 16 ${dir}/Stranger-${variant}.8bf in.png ${variant}-16.png)
  pm_host(0 --answer ok --tile 7x5 ${dir}/Stranger-${variant}.8bf in.png ${variant}-7x5.png)
  file(SHA256 ${WORK}/${variant}-16.png a)
  file(SHA256 ${WORK}/${variant}-7x5.png b)
  set(tiling_same_${variant} FALSE)
  if(a STREQUAL b)
    set(tiling_same_${variant} TRUE)
  endif()
endforeach()
if(NOT tiling_same_plain OR tiling_same_tiling-dependent)
  message(FATAL_ERROR "plain must give the same output for 16 x 16 and 7 x 5 tiles, tiling-dependent different ones")
endif()
pm_check(in.png plain-16.png --bits 5,6,5)

pm_host(2 --answer ok ${dir}/Stranger-needs-selection.8bf in.png out-nosel.png)
pm_host(0 --answer ok --select 8,8,32,24 ${dir}/Stranger-needs-selection.8bf in.png out-sel.png)
pm_check(in.png out-sel.png --bits 5,6,5 --rect 8,8,32,24)
pm_host(0 --answer ok --mask mask.png ${dir}/Stranger-plain.8bf in.png plain-mask.png)
pm_check(in.png plain-mask.png --bits 5,6,5 --mask mask.png)
pm_host(0 --answer ok --mask mask.png ${dir}/Stranger-writes-outside.8bf in.png outside-mask.png)
# The mask's bounding box (x 13, y 5, 39 x 39) is the filter rectangle: all of
# it converted, the mask's unselected corners too; plain's output fails this.
pm_check(in.png outside-mask.png --bits 5,6,5 --rect 13,5,39,39)
pm_check_fails(in.png plain-mask.png --bits 5,6,5 --rect 13,5,39,39)
pm_host(2 --answer ok ${dir}/Stranger-size-limit.8bf wide.png out-wide.png)
pm_host(0 --answer ok ${dir}/Stranger-size-limit.8bf in.png out-limit.png)
pm_check(in.png out-limit.png --bits 5,6,5)

# The verdicts: variant, without --strict, with --strict ("-": not asked), and
# options for the validator. continue-forever hangs in every case; a shorter
# case timeout keeps its run to minutes (its verdict is a fail either way).
set(table
  "plain pass pass"
  "unlock-all pass fail"
  "needs-selection pass -"
  "writes-outside pass -"
  "size-limit pass -"
  "tile-zero fail -"
  "negative-rect fail -"
  "bigdoc-32k fail -"
  "about-throw fail -"
  "refuse-after-abandon fail -"
  "exit-call fail -"
  "last-row fail -"
  "read-past fail -"
  "handle-leak fail -"
  "thread-leak fail -"
  "brush-leak fail -"
  "wrong-progress fail -"
  "success-on-fail fail -"
  "tiling-dependent fail -"
  "stale-pointer fail -"
  "ignores-rowbytes fail -"
  "continue-forever fail - --case-timeout 5")

# validate(<variant> <options> <out var>): "pass", or "fail (exit N)" with the
# scenarios that did not pass; those lines of the report go to the log.
function(validate variant options result)
  execute_process(COMMAND ${RUNNER} ${PMHOST} --validate ${options} ${dir}/Stranger-${variant}.8bf
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 1200)
  string(REGEX MATCHALL "[^\n]*(FAIL|CRASH|HANG|crash|hang|error|usage|passed)[^\n]*" lines "${out}")
  list(JOIN lines "\n" lines)
  list(JOIN options " " shown)
  message("$ pmhost --validate ${shown} Stranger-${variant}.8bf: exit ${rc}\n${lines}")
  string(REGEX MATCHALL "\n  [a-z0-9_.]+ +(FAIL|CRASH|HANG|fail|crash|hang)" failed "${out}")
  string(REGEX REPLACE "\n  ([a-z0-9_.]+) +[A-Za-z]+" "\\1" failed "${failed}")
  list(JOIN failed " " failed)
  # 0: clean; 2: warnings only, which fail only with --strict.
  if(rc STREQUAL "0" OR rc STREQUAL "2")
    set(${result} "pass (exit ${rc})" PARENT_SCOPE)
  else()
    set(${result} "fail (exit ${rc}: ${failed})" PARENT_SCOPE)
  endif()
endfunction()

# compare(<variant> <options> <expected> <label>): one verdict against the
# table, a line of the report, and a miss counted when they differ.
macro(compare variant options expected label)
  validate(${variant} "${options}" seen)
  set(line "${label}: expected ${expected}, seen ${seen}")
  if(NOT seen MATCHES "^${expected}")
    string(APPEND line "   <-- differs")
    math(EXPR misses "${misses} + 1")
  endif()
  string(APPEND report "${line}\n")
endmacro()

set(report "")
set(misses 0)
foreach(row IN LISTS table)
  string(REPLACE " " ";" row "${row}")
  list(GET row 0 variant)
  list(GET row 1 expected)
  list(GET row 2 expected_strict)
  set(options "")
  list(LENGTH row columns)
  if(columns GREATER 3)
    list(SUBLIST row 3 -1 options)
  endif()
  compare(${variant} "${options}" ${expected} "${variant}")
  if(NOT expected_strict STREQUAL "-")
    compare(${variant} "--strict;${options}" ${expected_strict} "${variant} --strict")
  endif()
endforeach()

message("The validator on the strangers (${misses} verdict(s) differ from the table):\n${report}")
if(misses GREATER 0)
  message(FATAL_ERROR "pmhost --validate gave ${misses} verdict(s) that differ from the table")
endif()
