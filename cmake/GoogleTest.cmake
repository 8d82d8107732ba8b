# GoogleTest from Debian's source package, built with the same compiler and
# flags as the tests (natively with the sanitizers, or with mingw-w64).
set(PIXELMOOR_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${PIXELMOOR_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${PIXELMOOR_GTEST_SOURCE} (Debian package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${PIXELMOOR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# pixelmoor_add_gtest(<name> SOURCES ... [LIBS ...]): a test program, run one
# test per case natively, and as one program under Wine when cross-compiling
# for Windows (each Wine start costs a second or more) or under qemu when
# cross-compiling for another Linux (each start loads the whole emulator).
function(pixelmoor_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  pixelmoor_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(WIN32)
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 LABELS wine FIXTURES_REQUIRED wine_prefix)
  elseif(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    set_tests_properties(${name} PROPERTIES TIMEOUT 1200 LABELS emulated)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS native)
  endif()
endfunction()
