# The host hands out and takes back several planes in one buffer exactly as
# it does one plane at a time: the test filter asking for all planes at once
# must give the same result as asking plane by plane, in 8 and 16 bits, with
# and without a transparency plane, over padded rows. A gray image, which that
# filter refuses, comes first in the plane-by-plane run: the run's exit code
# is that first failure's, and the images after it are still converted.
include(${HELPERS})
pm_gen(gray 40 30 gray.png)
pm_gen(rgb 97 61 rgb.png)
pm_gen(rgba 97 61 rgba.png)
pm_gen(rgb16 97 61 rgb16.png)
set(ENV{PMHOST_BROKEN_FAULT} none)
pm_host(2 --answer ok --registry none --row-pad 3 --out-dir each ${MODULE} gray.png rgb.png rgba.png rgb16.png)
pm_expect("FAILED: gray\\.png: the filter is not enabled for this document")
set(ENV{PMHOST_BROKEN_FAULT} interleaved)
pm_host(0 --answer ok --registry none --row-pad 3 --out-dir together ${MODULE} rgb.png rgba.png rgb16.png)
pm_expect("3 of 3 image\\(s\\) converted")
foreach(name rgb rgba rgb16)
  pm_check(each/${name}.png together/${name}.png --same)
endforeach()
# Both really converted: 8 bits truncated to 5, and the 16-bit image changed.
pm_check(rgb.png together/rgb.png --truncated --bits 5,5,5)
pm_check_fails(rgb16.png together/rgb16.png --same)
