# Cancel in the confirmation dialog: the dialog is owned by the host window,
# the run ends with userCanceledErr and no output is written.
include(${HELPERS})
pm_gen(rgb 64 48 in.png)
pm_host(4 --answer cancel --registry none ${MODULE} in.png out.png)
pm_expect("owner the host window")
pm_expect("start returned userCanceledErr \\(-128\\)")
pm_expect("0 advanceState call")
if(EXISTS ${WORK}/out.png)
  message(FATAL_ERROR "a cancelled run wrote its output")
endif()
