# pmhost --validate on modules no host can use: one without a property list,
# one cut short, one built for 32-bit x86. Each gets a clear static verdict,
# its dynamic scenarios are skipped with the reason, and pmhost itself ends
# normally (exit 8: scenarios failed).
include(${HELPERS})
pm_damage(truncate ${BROKEN} truncated.8bf)
pm_damage(machine-i386 ${BROKEN} x86.8bf)
pm_validate(8 --json verdicts.json ${NOPIPL} truncated.8bf x86.8bf)

# module | the static row that fails | what its detail says
set(table
  "0|static.properties|no property list"
  "1|static.file|truncated: the file ends after [0-9]+ bytes, inside section"
  "2|static.file|a 32-bit \\(x86\\) module")
foreach(row IN LISTS table)
  string(REPLACE "|" ";" parts "${row}")
  list(GET parts 0 module)
  list(GET parts 1 scenario)
  list(GET parts 2 says)
  pm_verdicts(verdicts.json ${module} v)
  if(NOT "${v_other}" MATCHES "^${scenario}$")
    message(FATAL_ERROR "module ${module}: failed [${v_other}], expected only ${scenario}")
  endif()
  if(NOT v_detail_${scenario} MATCHES "${says}")
    message(FATAL_ERROR "module ${module}: ${scenario} says \"${v_detail_${scenario}}\", expected \"${says}\"")
  endif()
  foreach(name IN LISTS v_pass)
    if(NOT name MATCHES "^static\\.")
      message(FATAL_ERROR "module ${module}: the dynamic scenario ${name} passed on a module no host can call")
    endif()
  endforeach()
endforeach()
