# Release and reproducibility settings of the module, all in one place
# (docs/release.md). Included by src/CMakeLists.txt once the Pixelmoor target
# and the object libraries it links exist.
#
# - Every clean build of the same sources gives the same bytes: the linker
#   writes no time stamps, no compiled file carries the folder it was built in,
#   and the preferred load address is fixed instead of derived from the
#   output path.
# - The module is built with debug information, which a step after the link
#   moves into a separate symbol file beside it; the module keeps only a debug
#   link (the symbol file's name and CRC). The stripped module is the one the
#   tests run and the zip ships.
# - The ARM64 module (Zig's clang and linker) is built the same way, with what
#   that toolchain offers: DWARF beside the CodeView that Zig asks for, and a
#   step that clears the linker's time stamps and its debug directory
#   (cmake/PeNormalize.cpp) before the split.

# The symbol file, named after the release so that files of several versions
# can sit side by side; the debug link inside the module names it.
# The release's machine suffix: win64 (x64) or win-arm64.
if(PIXELMOOR_ARM64)
  set(PIXELMOOR_RELEASE_MACHINE win-arm64)
else()
  set(PIXELMOOR_RELEASE_MACHINE win64)
endif()
set(PIXELMOOR_RELEASE_MACHINE ${PIXELMOOR_RELEASE_MACHINE} PARENT_SCOPE)
set(PIXELMOOR_SYMBOL_FILE_NAME Pixelmoor-${PROJECT_VERSION}-${PIXELMOOR_RELEASE_MACHINE}.debug)
set(PIXELMOOR_SYMBOL_FILE ${PROJECT_BINARY_DIR}/${PIXELMOOR_SYMBOL_FILE_NAME})
set(PIXELMOOR_SYMBOL_FILE ${PIXELMOOR_SYMBOL_FILE} PARENT_SCOPE)

# Compiled with debug information for the symbol file (-g changes no code).
# The source tree is written as /pixelmoor and the build folder as
# /pixelmoor/build, wherever they are, so neither folder's location ends up
# in the module or its symbol file (a debugger maps /pixelmoor back to a
# checkout). The build folder's map comes last: GCC applies the last matching
# map, and the build folder may lie inside the source tree.
# clang (ARM64) applies the last matching map too. Zig's clang writes CodeView
# for Windows, which only its program database can hold: -gdwarf-4 adds DWARF,
# which the linker keeps in the module for the split.
if(PIXELMOOR_ARM64)
  set(debug_options -g -gdwarf-4)
else()
  set(debug_options -g)
endif()
foreach(objects pixelmoor_core pixelmoor_win)
  target_compile_options(${objects} PRIVATE ${debug_options}
                         -ffile-prefix-map=${PROJECT_SOURCE_DIR}=/pixelmoor
                         -ffile-prefix-map=${PROJECT_BINARY_DIR}=/pixelmoor/build)
endforeach()

if(PIXELMOOR_ARM64)
  # Zig's linker takes no option for its time stamps, and its debug directory
  # names the program database by a hash of that file, which holds the build
  # folder: a build-machine tool clears them after the link. Its preferred
  # load address is fixed already (not derived from the output path).
  find_program(PIXELMOOR_LLVM_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)
  set(objcopy ${PIXELMOOR_LLVM_OBJCOPY})
  set(normalizer ${PROJECT_BINARY_DIR}/pe-normalize)
  add_custom_command(OUTPUT ${normalizer}
    COMMAND ${PIXELMOOR_BUILD_CXX} -std=c++20 -O1 ${PIXELMOOR_WARNINGS} -o ${normalizer}
            ${PROJECT_SOURCE_DIR}/cmake/PeNormalize.cpp
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/PeNormalize.cpp
    COMMENT "Building the PE normaliser for the build machine"
    VERBATIM)
  add_custom_target(pixelmoor_pe_normalize DEPENDS ${normalizer})
  add_dependencies(Pixelmoor pixelmoor_pe_normalize)
  set(normalize_step COMMAND ${normalizer} $<TARGET_FILE:Pixelmoor> ${PIXELMOOR_EXPORT_LIST})
  # The same tool tidies llvm-objcopy's symbol file, so that LLVM's tools can
  # read it, and takes the checkout's folders out of it.
  set(tidy_symbols -DPE_NORMALIZER=${normalizer} "-DFOLDERS=${PROJECT_SOURCE_DIR},${PROJECT_BINARY_DIR}")
  set_property(TARGET Pixelmoor APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/PeNormalize.cpp)
else()
  # No time stamps in the PE header or the export directory. The preferred
  # load address is the one ld's automatic choice gives for this module today;
  # left automatic, it is a hash of the output path as written on the link
  # command.
  target_link_options(Pixelmoor PRIVATE -Wl,--no-insert-timestamp -Wl,--image-base=0x2c6860000)
  set(objcopy ${CMAKE_OBJCOPY})
  set(normalize_step "")
  set(tidy_symbols "")
endif()

add_custom_command(TARGET Pixelmoor POST_BUILD
  ${normalize_step}
  COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${objcopy} -DMODULE=$<TARGET_FILE:Pixelmoor>
          -DSYMBOLS=${PIXELMOOR_SYMBOL_FILE} ${tidy_symbols} -P ${PROJECT_SOURCE_DIR}/cmake/SplitSymbols.cmake
  COMMENT "Moving the module's debug information into ${PIXELMOOR_SYMBOL_FILE_NAME}"
  VERBATIM)
set_property(TARGET Pixelmoor APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${PIXELMOOR_SYMBOL_FILE})
# A change to the step links the module again, so that the step runs again.
set_property(TARGET Pixelmoor APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/SplitSymbols.cmake)
