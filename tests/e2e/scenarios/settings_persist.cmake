# The dithering setting lives in the host's registry file between runs: a
# first run registers 'dith' true; an entry set to false makes the next run
# truncate without dithering, record no key for scripting, and register false.
include(${HELPERS})
set(key 723b5e70-4e05-11de-8a39-0800200c9a66)
pm_gen(rgb 120 90 in.png)
pm_host(0 --answer ok --registry reg.txt ${MODULE} in.png first.png)
pm_expect("scripting descriptor: {'dith': true}")
file(READ ${WORK}/reg.txt registry)
if(NOT registry MATCHES "entry ${key}\r?\n'dith' bool true\r?\nend")
  message(FATAL_ERROR "the first run registered no 'dith' true:\n${registry}")
endif()
pm_check(in.png first.png --bits 5,6,5 --mean-tol 0.5)

file(WRITE ${WORK}/reg.txt "entry ${key}\n'dith' bool false\nend\n")
pm_host(0 --answer ok --registry reg.txt ${MODULE} in.png second.png)
pm_expect("scripting descriptor: {}")
pm_check(in.png second.png --truncated --bits 5,6,5)
file(READ ${WORK}/reg.txt registry)
if(NOT registry MATCHES "'dith' bool false")
  message(FATAL_ERROR "the second run did not register false again:\n${registry}")
endif()
