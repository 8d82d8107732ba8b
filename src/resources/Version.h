// The module's version and names, in one place for the resource scripts, the
// resource generator and the C++ code. Plain macros only: windres reads this
// file through the C preprocessor too.
#ifndef PIXELMOOR_RESOURCES_VERSION_H
#define PIXELMOOR_RESOURCES_VERSION_H

#define PIXELMOOR_VERSION_MAJOR 1
#define PIXELMOOR_VERSION_MINOR 0
#define PIXELMOOR_VERSION_PATCH 0
#define PIXELMOOR_VERSION_BUILD 0

// "1.0": the product version string and the about box's "Version 1.0".
#define PIXELMOOR_VERSION_TEXT "1.0"
// The file-version string has always been published as "10.0"; installers
// that compare it must keep seeing the same text, so it does not follow the
// numeric version above.
#define PIXELMOOR_FILE_VERSION_TEXT "10.0"
// The release line that the confirmation dialog shows.
#define PIXELMOOR_RELEASE_TEXT "version 1.01 (13.2.2011)"

#define PIXELMOOR_MAKER_NAME "Tarnwick"
#define PIXELMOOR_PRODUCT_NAME "Pixelmoor"

// Who wrote it and where the maker lives on the web. The link host names are
// shown bare on the about box's buttons, which open "http://<name>".
#define PIXELMOOR_AUTHOR_NAME "Maren Oakhollow"
#define PIXELMOOR_AUTHOR_EMAIL "maren@tarnwickfx.net"
#define PIXELMOOR_MAKER_WEB_ADDRESS "www.tarnwickfx.net"
#define PIXELMOOR_LINK_HOST_1 "tarnwickfx.net"
#define PIXELMOOR_LINK_HOST_2 "blog.tarnwickfx.net"

#endif
