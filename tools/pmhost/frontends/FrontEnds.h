// pmhost's front ends, each on the host session (session/Session.h): run
// the filter on images, show the about box, list the filters of a folder.
// main.cpp reads the command line and calls one of them.
#pragma once

#include <string>
#include <vector>

#include "Session.h"

// A run of the filter on images: pairs INPUT OUTPUT, or inputs (files,
// folders, patterns) written into `outDir`.
struct ImageRun {
  SessionSetup setup;
  RunOptions run;
  bool keepPartial = false;              // write the output even when the module returned an error
  std::string outDir;                    // empty: `arguments` are pairs
  std::vector<std::string> arguments;    // what follows the module on the command line
};

// Converts every image in one session; the exit code of the first image that
// failed, or of the session.
int RunImages(const ImageRun& request);

// The about selector, with the dialog answers of `setup`.
int ShowAbout(const SessionSetup& setup);

// Lists the filters in a module file or in the *.8bf files of a folder,
// without running any of their code.
int ListFilters(const std::string& where);
