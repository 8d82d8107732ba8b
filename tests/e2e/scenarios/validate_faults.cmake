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
  "reenter|dialog.nested")

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
  pm_validate(${code} --json ${fault}.json ${MODULE})
  pm_verdicts(${fault}.json 0 v)
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
