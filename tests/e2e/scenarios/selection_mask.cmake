# A selection from a mask image: pixels inside the circle are converted with
# the mean kept, pixels outside stay exactly as they were.
include(${HELPERS})
pm_gen(rgb 200 150 in.png)
pm_gen(circle 200 150 mask.png)
pm_host(0 --answer ok --registry none --tile 64 --mask mask.png ${MODULE} in.png out.png)
pm_expect("filter case 2")
pm_check(in.png out.png --bits 5,6,5 --mean-tol 0.5 --mask mask.png)
