# --list finds the module by its property list, without running its code.
include(${HELPERS})
get_filename_component(dir ${MODULE} DIRECTORY)
pm_host(0 --list ${dir})
pm_expect("Tarnwick / Pixelmoor\\.\\.\\.  entry PluginMain")
