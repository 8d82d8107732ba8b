// Tile delivery from an image that the host holds as whole planes, each its
// own buffer: what a host does in advanceState, in one of two ways.
//
//   in place   the buffers handed to the module are the host's planes
//              themselves, at the image's own row bytes: nothing is copied,
//              so a timed walk times the module alone. Each request is still
//              read, checked against the image and its planes, and logged.
//   guarded    every tile goes out in kit TileBuffers (padded rows, top-down
//              or bottom-up, guard bytes around them and in each row's
//              padding); when the next request comes, or at Finish, inputs
//              and masks must be untouched, guards and padding too, and the
//              output goes back into the host's planes.
//
// A front end calls Deliver from its advanceState and Finish after the call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "HostKit.h"

namespace hostkit {

// The FilterRecord members a module may write in a filter call: the
// rectangles and planes it asks for, the rates and memory it states, its
// parameters handle; and the buffer members that the host itself writes in
// advanceState. Nothing else may differ after a call; in about, nothing at all.
const std::vector<Range>& FilterRecordWritable();

// The host's image: `in.size()` planes of height x width, rows `rowBytes`
// apart, top row first. `out` holds the host's copy that the module's output
// lands in (pre-filled with the source, as hosts do); `mask`, when there is
// one, is a single plane of the same rows.
struct Planes {
  int32_t height = 0, width = 0, rowBytes = 0;
  std::vector<uint8_t*> in, out;
  const uint8_t* mask = nullptr;
};

// advanceState's request as the host reads it from the record: the 32-bit
// rectangles once the module says it uses them, else the 16-bit ones.
Event ReadRequest(const FilterRecord& r);

// What is wrong with a request for an image of `planes` planes of
// height x width: a rectangle outside the image, or planes outside it.
// Empty rectangles and empty plane ranges ask for nothing and are fine.
std::optional<std::string> RequestOutside(const Event& request, int32_t height, int32_t width, int planes);

class PlaneDelivery {
 public:
  PlaneDelivery(CallLog& log, MisuseLog& misuse) : log_(log), misuse_(misuse) {}
  PlaneDelivery(const PlaneDelivery&) = delete;
  PlaneDelivery& operator=(const PlaneDelivery&) = delete;

  bool guarded = false;
  int32_t padding = 5;    // guarded: bytes after each row's pixels
  bool bottomUp = false;  // guarded: rows run upwards in memory (negative row bytes)

  // Serves one advanceState call: ends the delivery before it, reads, logs
  // and checks the request, and points the record's buffer members at the
  // tile. A request outside the image is misuse and answered with
  // filterBadParameters. In place, planes live in separate buffers, so a
  // request for several planes at once is not served (filterBadParameters,
  // said in the log entry); guarded, they come interleaved.
  OSErr Deliver(FilterRecord& r, const Planes& image);
  // Ends the last delivery (see above) and clears the record's buffer members.
  void Finish(FilterRecord& r);

 private:
  CallLog& log_;
  MisuseLog& misuse_;
  bool pending_ = false;  // a guarded delivery not yet ended
  Planes image_;
  std::string call_;      // the advanceState entry that delivered it
  TileBuffer in_, out_, mask_;
};

}  // namespace hostkit
