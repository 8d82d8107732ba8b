# Cross build for Windows on ARM64 with Zig 0.11.0 (clang 16, mingw-w64
# headers and C runtime, libc++), which scripts/arm64-deps.sh installs with
# its global cache in the machine's cache folder. The wrappers in zig/ call
# it with the target; resources are compiled by GNU windres and converted to
# an ARM64 object by LLVM's cvtres.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/zig-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/zig-c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/zig-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/zig-ranlib CACHE FILEPATH "Archive indexer")
set(CMAKE_RC_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/aarch64-windres)
# Nothing of the machine's own libraries or headers is found for this target
# (mingw-w64's x64 zlib, for one): only what the build makes itself.
set(CMAKE_FIND_ROOT_PATH ${CMAKE_CURRENT_LIST_DIR}/zig/no-sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# ctest runs the Windows programs under arm64 Wine in the arm64 tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/arm64-run)
set(PIXELMOOR_ARM64 ON)
# The machine's cache folder of scripts/arm64-deps.sh (zlib's sources).
if(DEFINED ENV{PIXELMOOR_CACHE} AND NOT "$ENV{PIXELMOOR_CACHE}" STREQUAL "")
  set(PIXELMOOR_CACHE $ENV{PIXELMOOR_CACHE})
else()
  set(PIXELMOOR_CACHE /var/cache/pixelmoor)
endif()
