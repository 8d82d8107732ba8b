# Tiles much smaller than the image, with sizes that divide nothing evenly:
# 7 rows of 6 tiles, each plane of each tile delivered on its own.
include(${HELPERS})
pm_gen(rgb 201 157 in.png)
pm_host(0 --answer ok --registry none --tile 37x23 --row-pad 5 ${MODULE} in.png out.png)
pm_expect(" 126 advanceState call\\(s\\), 42 progress report")
pm_check(in.png out.png --bits 5,6,5 --mean-tol 0.35)
