# A host without bigDocumentData: the module must work in the 16-bit
# rectangles alone.
include(${HELPERS})
pm_gen(rgb 190 130 in.png)
pm_host(0 --answer ok --registry none --no-bigdoc --tile 64 ${MODULE} in.png out.png)
pm_check(in.png out.png --bits 5,6,5 --mean-tol 0.35)
