# A 16-bit document is enabled and passes through a run unchanged.
include(${HELPERS})
pm_gen(rgb16 160 100 in.png)
pm_host(0 --answer ok --registry none --tile 64 ${MODULE} in.png out.png)
pm_expect("RGB48Mode")
pm_expect("0 of 48000 samples changed")
pm_check(in.png out.png --same)
