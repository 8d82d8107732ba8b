# pixelmoor_target_defaults(<target>): our warning set and the src/ include root.
function(pixelmoor_target_defaults target)
  target_compile_options(${target} PRIVATE ${PIXELMOOR_WARNINGS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
endfunction()
