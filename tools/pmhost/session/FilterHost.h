// Runs a filter module's selectors on a document the way a full host does:
// the FilterRecord, advanceState with planar document buffers, the
// continue loop, mattes and selection masking, progress and cancelling.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ImageFile.h"
#include "Pipl.h"
#include "host/HostApi.h"

using PluginEntry = void (*)(int16_t selector, void* record, intptr_t* data, int16_t* result);

struct RunOptions {
  int32_t tileWidth = 256, tileHeight = 256;
  bool bigDocument = true;        // offer bigDocumentData (32-bit coordinates)
  bool descriptorParameters = true;
  bool callParameters = true;     // the parameters selector on the first run
  int32_t runs = 1;               // later runs repeat the filter on the result, without parameters
  int32_t cancelAfter = 0;        // abortProc answers "cancel" from this call on (0 never)
  int32_t failAdvanceAt = 0;      // advanceState fails on this call (0 never)
  int16_t failAdvanceCode = -108;
  int32_t rowPad = 24;            // row bytes exceed the row's data by this much
  bool bottomUp = false;          // rows run upwards in memory: the module gets negative row bytes
  bool hasRectSelection = false;
  VRect rectSelection{};
  std::string maskPath;           // selection as a gray image (non-zero selected)
  PlanarImage maskImage;          // or one given in memory (one 8-bit plane of the image's size), when no maskPath
  bool quiet = false;             // no progress bar
  bool progressAtOnce = false;    // the bar from the first report, however short the run
  bool verbose = false;           // every request and call
  bool timing = false;            // report the time spent inside the module itself
  int32_t imageMode = -1;         // the document's mode as given (every plane a colour or extra channel); -1: from the image
  int16_t playInfo = 1;           // descriptorParameters->playInfo
  std::string playDescriptor;     // a descriptor handed to the module (descriptor handle bytes); empty: none
  // Where the image lies in the coordinates the module is told: the filter
  // rectangle and every request are shifted by this much (a selection partly
  // off the canvas gives negative coordinates; a large origin stands for the
  // far end of a big document, of which only the image is kept in memory).
  int32_t originV = 0, originH = 0;
  // Every delivered buffer ends where a no-access page begins, so that a read
  // past the end faults (rows are then delivered without padding).
  bool fenceBuffers = false;
  // The host leaves the first run by a longjmp out of this callback's call
  // number abandonAt (see PlanAbandon), then makes a full run on the same
  // record, data slot and result slot; when that run is refused, one more.
  std::string abandonIn;
  int32_t abandonAt = 1;
};

// Everything a run reports back.
struct RunOutcome {
  int16_t result = 0;             // the module's last result code
  std::string failedSelector;     // the selector that returned it, when non-zero
  bool refused = false;           // the host would not run the filter (message printed)
  bool hostError = false;         // a problem of the host or its input (message printed)
  std::string message;            // why, when refused or hostError
  std::string recordedDescriptor; // the descriptor handle the module handed back (its bytes), if any
  int16_t recordInfo = -1;        // and the recordInfo it set with it
  // With abandonIn: the selector the host left ("start"), empty when the
  // callback never came (the run then went as any run); and the result of
  // the first full run after it, when that run was refused.
  std::string abandoned;
  int16_t refusedAfterAbandon = 0;
};

// Runs the filter `options.runs` times on `image`, in memory; `image` holds
// the result afterwards (the partial one when the module failed). No file is
// read but the mask named in `options`, none is written. The first run's
// destination takes its planes from `destination` when that holds planes of
// the image's shape (see PlaneReserve).
RunOutcome RunFilter(PluginEntry entry, const PiplInfo* pipl, PlanarImage& image, const RunOptions& options,
                     void* hostWindow, PlaneReserve* destination = nullptr);

// What the host counted in the last run: its callbacks, and the data asked
// for after the host had answered a cancel or failed advanceState.
struct RunCounts {
  int32_t advanceCalls = 0, abortCalls = 0, progressCalls = 0;
  int32_t advanceAfterStop = 0;
};
RunCounts LastRunCounts();

// The about selector with a full AboutRecord.
RunOutcome RunAbout(PluginEntry entry, void* hostWindow);

// Named result codes: "userCanceledErr (-128)".
std::string ResultName(int32_t code);

// A performance-counter reading, and a span of them in milliseconds.
int64_t Ticks();
double Milliseconds(int64_t ticks);

// The selector running right now, for the crash report.
const char* CurrentSelectorName();

// Disposes of the handles that the host holds for the module between runs
// (parameters, data slot).
void EndSession();
