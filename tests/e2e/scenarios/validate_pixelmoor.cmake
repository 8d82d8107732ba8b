# pmhost --validate on Pixelmoor: the module passes every scenario of the
# battery without a single warning (--strict), in full and in the quick
# subset. The lifetime scenario has a test
# of its own (validate_lifetime).
include(${HELPERS})
pm_validate(0 --strict --skip lifetime --json full.json ${MODULE})
pm_verdicts(full.json 0 full)
# Only the row that names the modes pmhost cannot build may be skipped.
if(NOT "${full_skip}" MATCHES "^mode\\.unbuilt$")
  message(FATAL_ERROR "scenarios skipped on Pixelmoor: ${full_skip}")
endif()
pm_validate(0 --quick ${MODULE})
