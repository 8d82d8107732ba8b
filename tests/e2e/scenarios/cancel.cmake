# Cancelling after the second of four rows of tiles: the module reports
# userCanceledErr, the first two rows are converted and the rest untouched.
include(${HELPERS})
pm_gen(rgb 128 128 in.png)
pm_host(4 --answer ok --registry none --tile 128x32 --cancel-after 2 --keep-partial ${MODULE} in.png out.png)
pm_expect("start returned userCanceledErr \\(-128\\)")
pm_expect("2 progress report")
pm_check(in.png out.png --bits 5,6,5 --rows 0-64)
