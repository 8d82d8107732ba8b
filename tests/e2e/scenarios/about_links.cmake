# The about box: both links open their addresses through the host's
# file-list suite, which the module holds until it is unloaded and releases
# then (any suite left acquired would be a misuse, exit 5).
include(${HELPERS})
pm_host(0 --about --answer ok --press 4,5 ${MODULE})
pm_expect("owner the host window")
pm_expect("BrowseUrl: http://[^\r\n]+.*BrowseUrl: http://")
pm_expect("1 dialog\\(s\\) answered")
