# pixelmoor_target_defaults(<target>): our warning set and the src/ include root.
function(pixelmoor_target_defaults target)
  target_compile_options(${target} PRIVATE ${PIXELMOOR_WARNINGS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
endfunction()

# pixelmoor_windowed_tests(<test>...): tests whose Windows programs open
# windows under Wine (the module's dialogs, pmhost's host window) take turns.
# They share the one Wine prefix, so one desktop and one wineserver: side by
# side, a dialog that one test's fault leaves open can take the foreground and
# focus that another test's checks expect, block the messages that test sends
# to every window, and hold scripts/wine-run's wait for the prefix to go idle;
# the other test then times out for a fault that is not its own. A test that
# waits for its turn is not yet timed. The prefix is held up meanwhile
# (tests/CMakeLists.txt), or each turn would boot Wine's services again. (A
# prefix per test would cost a full Wine set-up, some 20 seconds, for each.)
function(pixelmoor_windowed_tests)
  set_tests_properties(${ARGN} PROPERTIES RESOURCE_LOCK wine_desktop FIXTURES_REQUIRED wine_prefix)
endfunction()
