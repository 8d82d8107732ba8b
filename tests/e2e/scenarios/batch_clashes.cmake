# Job lists that would lose a file are refused before anything is converted:
# two spellings of one output, and an output that another image of the run
# reads, however it is named. Every file stays as it was and no output appears.
include(${HELPERS})
pm_gen(rgb 48 32 a.png)
pm_gen(gray 40 24 b2.png)
file(SHA256 ${WORK}/b2.png b2_before)

# The same output spelled twice: the second image would replace the first's.
pm_host(1 --answer ok --registry none ${MODULE} a.png out.png b2.png ./out.png)
pm_expect("a\\.png and b2\\.png would both be written to (\\./)?out\\.png; nothing converted")
if(EXISTS ${WORK}/out.png)
  message(FATAL_ERROR "a run with two spellings of one output converted an image")
endif()

# The first image's output is the second's input: it would be overwritten
# before it is read, and the converted a.png would land in c.png.
pm_host(1 --answer ok --registry none ${MODULE} a.png b2.png b2.png c.png)
pm_expect("b2\\.png, the output of a\\.png, is also the input of image 2; nothing converted")
file(SHA256 ${WORK}/b2.png b2_after)
if(NOT b2_after STREQUAL b2_before)
  message(FATAL_ERROR "b2.png was overwritten by a run that should have been refused")
endif()
if(EXISTS ${WORK}/c.png)
  message(FATAL_ERROR "a run whose output is another image's input converted an image")
endif()

# The same, under another name: alias.png is a hard link to b2.png, which only
# the file's identity on disk shows.
file(CREATE_LINK ${WORK}/b2.png ${WORK}/alias.png)
pm_host(1 --answer ok --registry none ${MODULE} a.png alias.png b2.png c.png)
pm_expect("alias\\.png, the output of a\\.png, is also the input of image 2 \\(b2\\.png\\); nothing converted")
file(SHA256 ${WORK}/b2.png b2_after)
if(NOT b2_after STREQUAL b2_before OR EXISTS ${WORK}/c.png)
  message(FATAL_ERROR "a run that writes an input under another name converted an image")
endif()
pm_no_partial_files()
