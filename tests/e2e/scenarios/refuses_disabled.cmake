# The test filter's enable expression admits RGB documents only: a grayscale
# document is refused before any of its code runs.
include(${HELPERS})
pm_gen(gray 32 32 in.png)
pm_host(2 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("not enabled for this document \\(GrayScaleMode, 8 bits per channel\\)")
