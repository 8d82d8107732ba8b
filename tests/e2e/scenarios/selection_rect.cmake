# A rectangular selection that starts inside the image and crosses tile
# edges: only that rectangle is converted.
include(${HELPERS})
pm_gen(rgb 160 120 in.png)
pm_host(0 --answer ok --registry none --tile 50x40 --select 13,21,101,77 ${MODULE} in.png out.png)
pm_expect("filter rectangle \\(21, 13, 98, 114\\)")
pm_check(in.png out.png --bits 5,6,5 --mean-tol 0.6 --rect 13,21,101,77)
