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

# The symbol file, named after the release so that files of several versions
# can sit side by side; the debug link inside the module names it.
set(PIXELMOOR_SYMBOL_FILE_NAME Pixelmoor-${PROJECT_VERSION}-win64.debug)
set(PIXELMOOR_SYMBOL_FILE ${PROJECT_BINARY_DIR}/${PIXELMOOR_SYMBOL_FILE_NAME})
set(PIXELMOOR_SYMBOL_FILE ${PIXELMOOR_SYMBOL_FILE} PARENT_SCOPE)

# Compiled with debug information for the symbol file (-g changes no code).
# The source tree is written as /pixelmoor and the build folder as
# /pixelmoor/build, wherever they are, so neither folder's location ends up
# in the module or its symbol file (a debugger maps /pixelmoor back to a
# checkout). The build folder's map comes last: GCC applies the last matching
# map, and the build folder may lie inside the source tree.
foreach(objects pixelmoor_core pixelmoor_win)
  target_compile_options(${objects} PRIVATE -g
                         -ffile-prefix-map=${PROJECT_SOURCE_DIR}=/pixelmoor
                         -ffile-prefix-map=${PROJECT_BINARY_DIR}=/pixelmoor/build)
endforeach()

# No time stamps in the PE header or the export directory. The preferred load
# address is the one ld's automatic choice gives for this module today; left
# automatic, it is a hash of the output path as written on the link command.
target_link_options(Pixelmoor PRIVATE -Wl,--no-insert-timestamp -Wl,--image-base=0x2c6860000)

add_custom_command(TARGET Pixelmoor POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${CMAKE_OBJCOPY} -DMODULE=$<TARGET_FILE:Pixelmoor>
          -DSYMBOLS=${PIXELMOOR_SYMBOL_FILE} -P ${PROJECT_SOURCE_DIR}/cmake/SplitSymbols.cmake
  COMMENT "Moving the module's debug information into ${PIXELMOOR_SYMBOL_FILE_NAME}"
  VERBATIM)
set_property(TARGET Pixelmoor APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${PIXELMOOR_SYMBOL_FILE})
# A change to the step links the module again, so that the step runs again.
set_property(TARGET Pixelmoor APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/SplitSymbols.cmake)
