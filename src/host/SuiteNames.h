// The names and versions under which the module asks the host's basic suite
// for the suites it uses, each written once. Plain macros, like the other
// identifier headers, so that any tool that reads C headers can read them.
#ifndef PIXELMOOR_HOST_SUITE_NAMES_H
#define PIXELMOOR_HOST_SUITE_NAMES_H

// Descriptor registry suite: the persistent setting.
#define PIXELMOOR_REGISTRY_SUITE_NAME "61e608b0-40fd-11d1-8da3-00c04fd5f7ee"
#define PIXELMOOR_REGISTRY_SUITE_VERSION 1

// Action descriptor suite: the registry entry's contents. Entries 1 to 28,
// the ones the module calls, are the same in versions 2 and 3.
#define PIXELMOOR_DESCRIPTOR_SUITE_NAME "df135115-c769-11d0-8079-00c04fd7ec47"
#define PIXELMOOR_DESCRIPTOR_SUITE_VERSION 3

// File-list suite: web browsing for the about box's links.
#define PIXELMOOR_FILE_LIST_SUITE_NAME "Photoshop GetFileList Suite for Plug-ins"
#define PIXELMOOR_FILE_LIST_SUITE_VERSION 4

#endif
