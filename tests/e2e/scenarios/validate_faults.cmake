# pmhost --validate bites: the broken test filter, with each of its faults,
# fails exactly the scenarios that the fault should fail and passes (or, with
# the reason, skips) every other.
include(${HELPERS})

# Every scenario in which the broken filter converts an image and holds its
# parameters handle (thin.half_handle_procs has no unlockProc to call).
set(runs "mode.rgb,mode.cmyk,mode.rgb48,mode.cmyk64,mode.transparency,tiles.1x1,tiles.7x5,tiles.whole,tiles.larger,buffers.padded,buffers.bottom_up,selection.rect,selection.mask,coords.16bit,coords.32bit,tiles.zero,tiles.negative,buffers.fenced,coords.negative,coords.past_32k_wide,coords.past_32k_tall,fail.advance,fail.new_handle,cancel.abort,abandon.advance_state,abandon.abort,abandon.progress,abandon.new_handle,abandon.unlock,thin.no_basic_suite,thin.no_registry_suite,thin.no_descriptor_suite,thin.no_file_list_suite,thin.no_scripting,thin.no_write_procs,dialog.ok,dialog.nested")

# And every one in which it reports progress (in abandon.lock it runs plainly:
# it never locks a handle, so the host never leaves the call).
set(progress "${runs},thin.half_handle_procs,abandon.lock")
# A progress call a host cannot draw is misuse, an error wherever it is made.
set(bad_progress "${progress},exit.after_run,fail.lock,dialog.cancel,scripting.record,scripting.playback,scripting.playback_silent,lifetime")

# fault | the scenarios it must fail ("-": none) | those it must only warn in
set(table
  "none|-"
  "ignore-cancel|cancel.abort"
  "after-error|fail.advance"
  "tls-leak|lifetime"
  "handle-leak|lifetime"
  "mangle-mode|mode.cmyk,mode.cmyk64"
  "lock-unchecked|fail.lock,thin.half_handle_procs"
  "new-unchecked|fail.new_handle"
  "basic-unchecked|thin.no_basic_suite"
  "record-undeclared|-|scripting.record"
  "reenter|dialog.nested"
  "ignore-mask|selection.mask"
  "no-refuse|mode.gray,mode.hsl,mode.hsb,mode.multichannel,mode.duotone,mode.lab,mode.gray16,mode.lab48,mode.multichannel16,mode.duotone16"
  "bigdoc-unchecked|coords.16bit,coords.negative"
  "about-writes|about,about.controls,exit.after_about"
  "bottom-up-unaware|buffers.bottom_up"
  "hang-on-cancel|cancel.abort"
  "tile-hang|tiles.zero,tiles.negative"
  "coords-16|coords.past_32k_wide,coords.past_32k_tall"
  "unsigned-coords|coords.negative"
  "last-row|tiles.1x1,tiles.7x5,buffers.padded,buffers.bottom_up,selection.rect,selection.mask,coords.32bit,buffers.fenced,coords.negative,coords.past_32k_wide,coords.past_32k_tall"
  "read-past|selection.mask,buffers.fenced"
  "unlock-both|-|${runs}"
  "progress-over|${bad_progress}"
  "progress-zero|${bad_progress}"
  "about-window|about,about.controls,dialog.nested"
  "crash-locked|about,about.controls,dialog.nested,exit.after_about"
  "exit-call|exit.after_run,exit.after_about"
  "about-dialog|-"
  "about-link|about.controls")

# How some of them fail: a crash and a hang are isolated (the battery goes on
# to every other scenario) and named with the host's last call.
# fault | scenario | result | what its detail says (no semicolons: they split lists)
set(how
  "lock-unchecked|fail.lock|crash|at lockProc call 1 of 1: the module crashed during start: exception 0xC0000005 .*the last host call: lockProc\\(1\\) refused"
  "hang-on-cancel|cancel.abort|hang|at abortProc call 1 of [0-9]+: no result after 10 s, during start..the last host call: abort -> 1"
  "after-error|fail.advance|fail|at advanceState call 1 of [0-9]+: advanceState failed with memFullErr, yet the module returned noErr"
  "crash-locked|about|crash|the module crashed during about: exception 0xC0000005 at 0x[0-9A-F]+. the last host call: "
  "read-past|buffers.fenced|crash|the module crashed during start: exception 0xC0000005 .*the last host call: advanceState in"
  "exit-call|exit.after_run|fail|the module called the host \\(AcquireSuite\\(61e608b0-40fd-11d1-8da3-00c04fd5f7ee, 1\\)\\) after the process began to end"
  "about-window|about|fail|after the module was unloaded: 1 more window\\(s\\) left open"
  "handle-leak|lifetime|fail|the next free handle moved [0-9]+ places up"
  "new-unchecked|fail.new_handle|fail|at newProc call 1 of 1: misuse: "
  "unlock-both|fail.advance|warn|warning: unlockProc on handle [0-9]+, which is not locked"
  "progress-over|mode.rgb|fail|misuse: progressProc called with done 2 above its total 1"
  "progress-zero|mode.rgb|fail|misuse: progressProc called with a total of 0"
  "about-link|about.controls|crash|at about-box click call [0-9] of 5: the module crashed during about")

set(wrong "")
foreach(row IN LISTS table)
  string(REPLACE "|" ";" parts "${row}")
  list(GET parts 0 fault)
  list(GET parts 1 expected)
  list(LENGTH parts columns)
  set(warned "")
  if(columns GREATER 2)
    list(GET parts 2 warned)
  endif()
  foreach(column expected warned)
    if(${column} MATCHES "^-$")
      set(${column} "")
    endif()
    string(REPLACE "," ";" ${column} "${${column}}")
  endforeach()
  set(ENV{PMHOST_BROKEN_FAULT} ${fault})
  # 8 when a scenario fails, 2 when some only warn, 0 when all pass.
  if(expected)
    set(code 8)
  elseif(warned)
    set(code 2)
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
  set(failed "")
  set(warnings "")
  foreach(name IN LISTS v_other)
    if("${v_result_${name}}" MATCHES "^warn$")
      list(APPEND warnings ${name})
    else()
      list(APPEND failed ${name})
    endif()
  endforeach()
  foreach(list expected warned failed warnings)
    list(SORT ${list})
  endforeach()
  if(NOT "${failed}" STREQUAL "${expected}")
    list(APPEND wrong "fault ${fault}: failed [${failed}], expected [${expected}]")
  endif()
  if(NOT "${warnings}" STREQUAL "${warned}")
    list(APPEND wrong "fault ${fault}: warned [${warnings}], expected [${warned}]")
  endif()
endforeach()

# The module that unlocks its handle after every call passes with warnings
# only, and fails once warnings count.
set(ENV{PMHOST_BROKEN_FAULT} unlock-both)
pm_validate(8 --strict --only mode.rgb --skip mode.rgb4 ${MODULE})
pm_expect("mode.rgb +WARN +[0-9.]+ +warning: unlockProc on handle 1, which is not locked")
if(wrong)
  string(REPLACE ";" "\n  " wrong "${wrong}")
  message(FATAL_ERROR "the validator's verdicts on the broken filter are not the expected ones:\n  ${wrong}")
endif()
