// The names and numbers that the module's code, its resource scripts, its
// export list and the resource generator must agree on, each written once.
// Plain macros only: windres, the generator and the preprocessor that writes
// the export list read this file too.
#ifndef PIXELMOOR_RESOURCES_IDENTIFIERS_H
#define PIXELMOOR_RESOURCES_IDENTIFIERS_H

// The text of a bare name (the name itself goes where the tools want a name).
#define PIXELMOOR_TEXT_OF_(name) #name
#define PIXELMOOR_TEXT_OF(name) PIXELMOOR_TEXT_OF_(name)

// ---- exports (Pixelmoor.def.in) --------------------------------------------

// The entry point hosts call; the property list names it for 64-bit hosts.
#define PIXELMOOR_ENTRY_POINT PluginMain
// The confirmation dialog's procedure, exported as well.
#define PIXELMOOR_CONFIRM_PROC tarnwickPixelmoorProc

// ---- resources -------------------------------------------------------------

// The property list ("PIPL") by which hosts find the filter, and the
// scripting terminology ("AETE") that the list's 'hstm' property names.
#define PIXELMOOR_PROPERTY_LIST_ID 16000
#define PIXELMOOR_TERMINOLOGY_ID 16000

// The confirmation dialog's template, created by name.
#define PIXELMOOR_CONFIRM_DIALOG DISSOLVEDIALOG

// The about box's template, and the string it shows.
#define PIXELMOOR_ABOUT_DIALOG_ID 16000
#define PIXELMOOR_ABOUT_TEXT_ID 16000
// Controls of the about box besides OK and Cancel: the text, and the two
// link buttons that open "http://" plus their label.
#define PIXELMOOR_ABOUT_TEXT_ITEM 3
#define PIXELMOOR_FIRST_LINK_ITEM 4
#define PIXELMOOR_SECOND_LINK_ITEM 5

// ---- settings and scripting -------------------------------------------------

// The entry in the host's descriptor registry that keeps the last setting;
// also the terminology scope of the property list.
#define PIXELMOOR_SETTINGS_KEY "723b5e70-4e05-11de-8a39-0800200c9a66"
// The key of the dithering setting, in the registry entry, the recorded
// scripting descriptor and the terminology.
#define PIXELMOOR_DITHER_KEY "dith"

#endif
