// The child's side of a scenario: one load of the module, one run (or the
// about box) through pmhost's session, one unload, and what the host saw.
#pragma once

#include <string>
#include <vector>

#include "FilterHost.h"
#include "HostServices.h"
#include "ImageFile.h"

struct Setup {
  PlanarImage image;
  RunOptions run;
  ServiceOptions services;
  int answer = 1;       // the button pressed in every dialog: 1 OK, 2 Cancel
  bool about = false;   // the about selector instead of a run
  bool maskImage = false;  // a soft elliptical selection, delivered as a mask from a gray image
  bool nested = false;  // call the about selector from inside the module's first message loop
  bool replay = false;  // a second run, handed the descriptor the first recorded, with run.playInfo
  int clickButton = 0;  // in the first dialog, this button (1-based, OK and Cancel not counted) is clicked first
};

struct Observed {
  std::string loadError;  // the module could not be loaded or has no entry
  RunOutcome outcome;
  RunCounts counts;
  int misuses = 0;          // misuse at the level of an error
  std::string firstMisuse;  // with the call that made it
  int warnings = 0;         // misuse at the level of a warning
  std::string firstWarning;
  // What the module left in the process after it was unloaded: threads and
  // windows (errors: their code is gone), and handles, GDI objects and
  // window classes past a small allowance (warnings: a system cache can
  // account for one).
  std::string leftRunning, leftBehind;
  PlanarImage original, result;
  std::vector<uint8_t> selection;  // 0..255 a pixel, row by row; empty without a selection
  int dialogs = 0;          // dialogs the driver answered
  int newProcCalls = 0, lockProcCalls = 0;
  int nestedCalls = 0;      // about calls made from the module's message loop
  RunOutcome recorded;      // with replay: the first run (the second is `outcome`)
  int replayDialogs = 0;    // with replay: dialogs of the second run
  std::vector<int> buttons;  // the first dialog's buttons but OK and Cancel
};

// A small test image: every plane a different slanted ramp, nothing constant.
PlanarImage Pattern(int32_t width, int32_t height, int32_t depth, int32_t planes);

// Loads `path`, runs once as `setup` says, unloads, and reports. Call it once
// per process: the host's services keep their logs for the whole process.
Observed Drive(const std::string& path, Setup setup);

// Loads `path` and finds the filter's entry point; null with `error`.
PluginEntry LoadEntry(const std::string& path, void*& module, PiplInfo& pipl, std::string& error);

// The hidden host window, made on first use.
void* HostWindowForChild();

// Whether two images hold the same samples.
bool SameImage(const PlanarImage& a, const PlanarImage& b);
