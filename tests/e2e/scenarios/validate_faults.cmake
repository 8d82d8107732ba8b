# pmhost --validate bites: the broken test filter, with each of its faults,
# fails exactly the scenarios that the fault should fail and passes (or, with
# the reason, skips) every other.
include(${HELPERS})

# fault | the scenarios it must fail ("-": none)
set(table
  "none|-"
  "ignore-cancel|cancel.abort"
  "after-error|fail.advance"
  "tls-leak|lifetime"
  "mangle-mode|mode.cmyk,mode.cmyk64"
  "lock-unchecked|fail.lock,thin.half_handle_procs"
  "basic-unchecked|thin.no_basic_suite"
  "record-undeclared|scripting.record"
  "reenter|dialog.nested"
  "ignore-mask|selection.mask"
  "no-refuse|mode.gray,mode.hsl,mode.hsb,mode.multichannel,mode.duotone,mode.lab,mode.gray16,mode.lab48,mode.multichannel16,mode.duotone16"
  "bigdoc-unchecked|coords.16bit"
  "about-writes|about"
  "bottom-up-unaware|buffers.bottom_up"
  "hang-on-cancel|cancel.abort")

# How some of them fail: a crash and a hang are isolated (the battery goes on
# to every other scenario) and named with the host's last call.
# fault | scenario | result | what its detail says (no semicolons: they split lists)
set(how
  "lock-unchecked|fail.lock|crash|at lockProc call 1 of 1: the module crashed during start: exception 0xC0000005 .*the last host call: lockProc\\(1\\) refused"
  "hang-on-cancel|cancel.abort|hang|at abortProc call 1 of 3: no result after 10 s, during start..the last host call: abort -> 1"
  "after-error|fail.advance|fail|at advanceState call 1 of 3: advanceState failed with memFullErr, yet the module returned noErr")

set(wrong "")
foreach(row IN LISTS table)
  string(REPLACE "|" ";" parts "${row}")
  list(GET parts 0 fault)
  list(GET parts 1 expected)
  if(expected MATCHES "^-$")
    set(expected "")
  endif()
  string(REPLACE "," ";" expected "${expected}")
  set(ENV{PMHOST_BROKEN_FAULT} ${fault})
  if(expected)
    set(code 8)
  else()
    set(code 0)
  endif()
  # Each of the broken filter's cases takes well under a second.
  pm_validate(${code} --case-timeout 10 --json ${fault}.json ${MODULE})
  pm_verdicts(${fault}.json 0 v)
  foreach(check IN LISTS how)
    string(REPLACE "|" ";" c "${check}")
    list(GET c 0 f)
    list(GET c 1 scenario)
    list(GET c 2 result)
    list(GET c 3 says)
    if(f STREQUAL fault AND (NOT "${v_result_${scenario}}" MATCHES "^${result}$" OR NOT "${v_detail_${scenario}}" MATCHES "${says}"))
      list(APPEND wrong "fault ${fault}: ${scenario} is ${v_result_${scenario}}, \"${v_detail_${scenario}}\"; expected ${result}, \"${says}\"")
    endif()
  endforeach()
  list(SORT expected)
  set(failed ${v_other})
  list(SORT failed)
  if(NOT "${failed}" STREQUAL "${expected}")
    list(APPEND wrong "fault ${fault}: failed [${failed}], expected [${expected}]")
  endif()
endforeach()
if(wrong)
  string(REPLACE ";" "\n  " wrong "${wrong}")
  message(FATAL_ERROR "the validator's verdicts on the broken filter are not the expected ones:\n  ${wrong}")
endif()
