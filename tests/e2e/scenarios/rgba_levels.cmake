# An RGBA image: planes 0 to 2 come out on the 5-6-5 levels (where the pixel
# is opaque, so that the white matte does not blend them), the alpha plane
# keeps all 8 bits, and dithering keeps every plane's mean. Where the pixel is
# half transparent or more, the host takes the matte out again exactly enough
# that the colours keep their means there too.
include(${HELPERS})
pm_gen(rgba 256 160 in.png)
pm_host(0 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("256 x 160, 4 plane\\(s\\) of 8 bits, RGBMode, filter case 4")
pm_check(in.png out.png --bits 5,6,5,8 --mean-tol 0.35 --opaque-only)
pm_check(in.png out.png --mean-tol 0.5 --alpha-at-least 128)
