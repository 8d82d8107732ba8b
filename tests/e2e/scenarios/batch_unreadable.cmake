# A folder of three images, the middle one cut short, converted in one run:
# the other two are written and correct, the damaged one is named with the
# reason and nothing of it is written, and the exit code says that not every
# image succeeded. Each converted image's confirmation dialog is answered.
include(${HELPERS})
file(MAKE_DIRECTORY ${WORK}/in)
pm_gen(rgb 120 90 in/a.png)
pm_gen(rgb 64 64 whole.png)
pm_damage(truncate whole.png in/b.png)
pm_gen(rgba 100 80 in/c.png)
pm_host(1 --answer ok --registry none --out-dir out ${MODULE} in)
pm_expect("FAILED: cannot read in.b\\.png: truncated: the file ends after [0-9]+ bytes, inside its IDAT chunk")
pm_expect("2 of 3 image\\(s\\) converted")
pm_expect("2 dialog\\(s\\) answered")
pm_check(in/a.png out/a.png --bits 5,6,5 --mean-tol 0.5)
pm_check(in/c.png out/c.png --bits 5,6,5,8 --mean-tol 0.5 --opaque-only)
file(GLOB written RELATIVE ${WORK}/out ${WORK}/out/*)
if(NOT written STREQUAL "a.png;c.png")
  message(FATAL_ERROR "the output folder holds ${written}, expected a.png and c.png only")
endif()
pm_no_partial_files()
