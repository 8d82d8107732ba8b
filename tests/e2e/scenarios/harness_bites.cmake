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
pm_expect("the first: the module wrote outside the output rectangle [^\r\n]* \\(in advanceState\\)")

# The input buffer may only be read: checked against the document's rows for
# one plane, against a copy of the buffer for interleaved planes.
foreach(fault input input-interleaved)
  set(ENV{PMHOST_BROKEN_FAULT} ${fault})
  pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
  pm_expect("MISUSE: the module wrote into the input buffer \\(inData\\)")
endforeach()

set(ENV{PMHOST_BROKEN_FAULT} locked)
pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("MISUSE: handle [0-9]+ left locked after start")

# A handle's block: a write one past its end is seen when it is unlocked, and
# a block moves on its last unlock, so a write through a pointer kept past the
# unlock is seen after the selector. Each run names its first misuse with the
# call that made it.
set(ENV{PMHOST_BROKEN_FAULT} past)
pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("MISUSE: written past the end of handle 1 \\(in unlockProc\\)")
pm_expect("misuse\\(s\\) of the host reported; the first: written past the end of handle 1 \\(in unlockProc\\)")

set(ENV{PMHOST_BROKEN_FAULT} stale)
pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("MISUSE: written through a stale pointer: byte 0 of handle 1's block after the block moved[^\r\n]* \\(in after start\\)")
pm_expect("the first: written through a stale pointer")

set(ENV{PMHOST_BROKEN_FAULT} leak)
pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("MISUSE: suite \"61e608b0-40fd-11d1-8da3-00c04fd5f7ee\" version 1 acquired 1 more time")

# The registry suite is held for one operation: one given back only in a
# later call is misuse, although the run ends balanced.
set(ENV{PMHOST_BROKEN_FAULT} held)
pm_host(5 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("MISUSE: suite \"61e608b0-40fd-11d1-8da3-00c04fd5f7ee\" version 1 still held after start")

# A crash is reported with the selector and the last call the host logged.
set(ENV{PMHOST_BROKEN_FAULT} crash)
pm_host(6 --answer ok --registry none ${MODULE} in.png out.png)
pm_expect("the module crashed during start on in\\.png: exception 0xC0000005 at [^\r\n]*; the last host call: lockProc\\(1\\)")
