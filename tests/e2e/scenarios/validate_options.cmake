# pmhost --validate's own options and reports, on the broken test filter
# (and Pixelmoor where two modules are needed): prefixes, a prefix that names
# nothing, the top-level verdict of several modules, --list, --junit, a
# module name outside ASCII in the JSON, and a child that cannot start.
include(${HELPERS})

# --only and --skip take prefixes: "mode.rg" is mode.rgb and mode.rgb48, and
# skipping "mode.rgb4" leaves mode.rgb.
set(ENV{PMHOST_BROKEN_FAULT} none)
pm_validate(0 --only mode.rg --skip mode.rgb4 --json prefix.json ${MODULE})
pm_verdicts(prefix.json 0 v)
set(dynamic "")
foreach(name IN LISTS v_pass v_skip v_other)
  if(NOT name MATCHES "^static\\.")
    list(APPEND dynamic ${name})
  endif()
endforeach()
if(NOT "${dynamic}" STREQUAL "mode.rgb")
  message(FATAL_ERROR "--only mode.rg --skip mode.rgb4 ran [${dynamic}], expected [mode.rgb]")
endif()

# A prefix that names no scenario is a typo: a usage error, not a pass.
pm_validate(1 --only mdoe.cmyk ${MODULE})
pm_expect("no scenario starts with \"mdoe.cmyk\"")
pm_validate(1 --skip tiles.x ${MODULE})

# Several modules: the top-level verdict is every module's, not the last's.
# The broken filter that ignores a cancel fails, Pixelmoor after it passes.
set(ENV{PMHOST_BROKEN_FAULT} ignore-cancel)
pm_validate(8 --only cancel. --json two.json --junit two.xml ${MODULE} ${PIXELMOOR})
file(READ ${WORK}/two.json json)
string(JSON top GET "${json}" passed)
string(JSON first GET "${json}" modules 0 passed)
string(JSON second GET "${json}" modules 1 passed)
if(top OR first OR NOT second)
  message(FATAL_ERROR "passed: top ${top}, broken ${first}, Pixelmoor ${second}; expected false, false, true")
endif()
# The JUnit report: the failing scenario as a failure, the passing one without.
file(READ ${WORK}/two.xml xml)
if(NOT xml MATCHES "^<\\?xml version=\"1.0\" encoding=\"UTF-8\"\\?>"
   OR NOT xml MATCHES "name=\"cancel.abort\" time=\"[0-9.e+-]+\">[\r\n ]*<failure type=\"error\" message=\"at abortProc call"
   OR NOT xml MATCHES "<testsuites [^>]*tests=\"12\" failures=\"1\" errors=\"0\" skipped=\"0\"")
  message(FATAL_ERROR "the JUnit report is not the expected one:\n${xml}")
endif()

# --list: every scenario with its level and what it checks.
pm_validate(0 --list)
foreach(row "static.file +error +yes" "tiles.zero +error +yes +a preferred tile size of 0" "scripting.record +warning"
        "lifetime +error +200 load" "\"which is not locked\": ")
  pm_expect("${row}")
endforeach()

# A module name outside ASCII (in the ANSI code page pmhost gets it in) is
# UTF-8 in the JSON.
set(ENV{PMHOST_BROKEN_FAULT} none)
file(COPY_FILE ${MODULE} "${WORK}/Filtre-été.8bf")
pm_validate(0 --only mode.rgb --skip mode.rgb4 --json name.json "Filtre-été.8bf")
file(READ ${WORK}/name.json json)
string(JSON name GET "${json}" modules 0 module)
if(NOT name STREQUAL "Filtre-été.8bf")
  message(FATAL_ERROR "the module's name in the JSON is \"${name}\", expected \"Filtre-été.8bf\"")
endif()

# A child that cannot start is retried; one that never starts is the
# validator's trouble (exit 1, ERROR), never the module's crash.
set(ENV{PMHOST_VALIDATE_FAILED_STARTS} 2)
pm_validate(0 --only mode.rgb --skip mode.rgb4 ${MODULE})
set(ENV{PMHOST_VALIDATE_FAILED_STARTS} 1000)
pm_validate(1 --only mode.rgb --skip mode.rgb4 --json nostart.json ${MODULE})
pm_verdicts(nostart.json 0 v)
if(NOT "${v_result_mode.rgb}" STREQUAL "error" OR NOT "${v_detail_mode.rgb}" MATCHES "could not start its child process .*not the module's fault")
  message(FATAL_ERROR "mode.rgb without a child: ${v_result_mode.rgb}, \"${v_detail_mode.rgb}\"")
endif()
unset(ENV{PMHOST_VALIDATE_FAILED_STARTS})
