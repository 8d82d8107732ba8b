# pmhost --validate's lifetime scenario on Pixelmoor: a few hundred load, run
# and unload cycles in one process leave no thread-local slot, handle or
# memory behind.
include(${HELPERS})
pm_validate(0 --only lifetime ${MODULE})
