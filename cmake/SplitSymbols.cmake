# cmake -DOBJCOPY=... -DMODULE=<linked module> -DSYMBOLS=<symbol file>
#       [-DPE_NORMALIZER=<cmake/PeNormalize.cpp built> -DFOLDERS=<folder>[,<folder>...]]
#       -P SplitSymbols.cmake
# Run after the link: copies the module's debug information and symbol table
# into SYMBOLS (and tidies that with PE_NORMALIZER, when given, taking the
# FOLDERS out of it), then strips
# the module and gives it a debug link to SYMBOLS (its file name and CRC-32).
# On any failure the module is deleted, so that the next build links it again
# instead of taking an unstripped module, or one linked to another symbol
# file, for finished.

# objcopy stamps the PE header of what it writes with the current time unless
# SOURCE_DATE_EPOCH says otherwise; 0 is what the linker writes
# (--no-insert-timestamp).
set(ENV{SOURCE_DATE_EPOCH} 0)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    file(REMOVE ${MODULE} ${MODULE}.stripped ${SYMBOLS})
    message(FATAL_ERROR "${ARGN} failed (${rc}): ${err}\n${MODULE} deleted")
  endif()
endfunction()

run(${OBJCOPY} --only-keep-debug ${MODULE} ${SYMBOLS})
if(PE_NORMALIZER)
  string(REPLACE "," ";" folders "${FOLDERS}")
  run(${PE_NORMALIZER} --symbol-file ${SYMBOLS} ${folders})
endif()
run(${OBJCOPY} --strip-all --add-gnu-debuglink=${SYMBOLS} ${MODULE} ${MODULE}.stripped)
file(RENAME ${MODULE}.stripped ${MODULE})
