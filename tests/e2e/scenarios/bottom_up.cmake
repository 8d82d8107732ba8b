# A host whose buffers hold their rows bottom-up (negative row bytes), mask
# included: with dithering off every selected sample must be the plain
# truncation of the same sample of the input, so a row read or written in the
# wrong place shows; with dithering on the means are kept.
include(${HELPERS})
set(key 723b5e70-4e05-11de-8a39-0800200c9a66)
pm_gen(rgb 150 97 in.png)
pm_gen(circle 150 97 mask.png)
file(WRITE ${WORK}/reg.txt "entry ${key}\n'dith' bool false\nend\n")
pm_host(0 --answer ok --registry reg.txt --bottom-up --tile 37x23 --row-pad 5 --mask mask.png ${MODULE} in.png truncated.png)
pm_check(in.png truncated.png --truncated --bits 5,6,5 --mask mask.png)
pm_host(0 --answer ok --registry none --bottom-up --tile 64 ${MODULE} in.png dithered.png)
pm_check(in.png dithered.png --bits 5,6,5 --mean-tol 0.35)
