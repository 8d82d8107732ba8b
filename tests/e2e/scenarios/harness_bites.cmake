# The harness notices a misbehaving module: run on the broken test filter,
# each fault must turn into a failed check or a misuse report (exit 5).
include(${HELPERS})
pm_gen(rgb 96 64 in.png)

# Plain truncation: on the levels, but the means move.
set(ENV{PMHOST_BROKEN_FAULT} none)
pm_host(0 --answer ok --registry none ${MODULE} in.png out.png)
pm_check(in.png out.png --bits 5,5,5)
pm_check_fails(in.png out.png --bits 5,6,5 --mean-tol 0.35)

set(ENV{PMHOST_BROKEN_FAULT} overrun)
pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("MISUSE: the module wrote outside the output rectangle")

set(ENV{PMHOST_BROKEN_FAULT} locked)
pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("MISUSE: handle [^\r\n]* still locked after start")

set(ENV{PMHOST_BROKEN_FAULT} leak)
pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("MISUSE: suite \"61e608b0-40fd-11d1-8da3-00c04fd5f7ee\" version 1 acquired 1 more time")
