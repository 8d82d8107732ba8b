// The run in progress, shared by the rooms of the filter host: the document,
// the record, the deliveries and the counters of the current run, and the
// handles the host keeps for the module between runs. Private to the session
// library; its users see FilterHost.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FilterHost.h"
#include "HostKit.h"

namespace pmsession {

inline constexpr uint8_t kGuardByte = 0xA5;  // the host's tails after its records
inline constexpr size_t kRecordTail = 256;  // bytes past bigDocumentData that a module must never touch

// fici flag bits
inline constexpr uint8_t kDontCopyToDestination = 0x01;
inline constexpr uint8_t kWritesOutsideSelection = 0x08;

// Session state the host keeps for the module between runs.
extern Handle gParameters;
extern intptr_t gDataSlot;

// One delivered buffer: the kit's guarded buffer (guard bytes around it and
// in every row's padding, top-down or bottom-up) and what the module is told.
struct Delivery {
  hostkit::TileBuffer tile;
  int32_t hi = 0;
  int32_t columnBytes = 0;
  // A buffer the module may only read is checked against the document rows it
  // was filled from when they lie in memory as delivered (one plane of the
  // image, the 8-bit selection): rowSource points at the first of them, rows
  // rowStride apart. Otherwise against the kit's copy of the whole buffer.
  const uint8_t* rowSource = nullptr;
  size_t rowStride = 0;

  // With fenced buffers: the module's copy of the pixels, in pages of their
  // own that end against a no-access page (see Fence).
  uint8_t* fenced = nullptr;
  void* fenceBase = nullptr;
  size_t fencedBytes = 0;

  bool Active() const { return tile.present; }
  void Drop() {
    FreeFence();
    tile.present = false;
  }
  uint8_t* Data() { return tile.present ? (fenced != nullptr ? fenced : tile.TopRow()) : nullptr; }
  // Moves the pixels into fenced pages; Unfence copies them back into the
  // kit's buffer, where the checks look.
  void Fence();
  void Unfence();
  void FreeFence();
  int32_t PublishedRowBytes() const { return tile.ToldRowBytes(); }
  std::optional<std::string> Written(const char* what) const {
    if (!tile.present) return std::nullopt;
    if (rowSource == nullptr) return tile.WrittenAnywhere(what);
    return tile.WrittenComparedWith(what, [this](int32_t y) { return rowSource + size_t(y) * rowStride; });
  }
};

// The document as the run sees it: the image the filter reads, the
// destination it writes, and the selection.
struct RunDocument {
  PlanarImage original;  // as loaded; inData shows it, matted when the case asks for it
  PlanarImage destination;
  uint32_t inputMatte = ~0u;  // the matte mixed into what inData shows; ~0u: none
  std::vector<uint8_t> selection;  // 0..255 per pixel; empty without a selection
  bool haveMaskImage = false;
  VRect filterRect{};
  int32_t transparencyPlane = -1;
  int32_t mode = 3;
  int16_t filterCase = 1;
  FilterCaseInfo caseInfo{};
};

struct Host {
  const RunOptions* options = nullptr;
  RunDocument* doc = nullptr;
  FilterRecord* record = nullptr;
  BigDocumentStruct* big = nullptr;
  Delivery in, out, mask;
  hostkit::FaultPlan plan;  // --fail-advance: the n-th advanceState call of the run fails
  int32_t advanceCalls = 0, abortCalls = 0, progressCalls = 0;
  int32_t lastDone = 0, lastTotal = 0;
  bool samplingNoted = false;
  bool stopped = false;  // abortProc answered cancel, or advanceState failed
  int32_t advanceAfterStop = 0;
  // --timing, in performance-counter ticks: inside the module's entry point,
  // inside the host's procedures it called, and with a dialog of it open.
  LONGLONG moduleTicks = 0, advanceTicks = 0, callbackTicks = 0, dialogTicks = 0;
};
extern Host gHost;

// Adds the time until it goes out of scope to `total`, with --timing.
class TimedSpan {
 public:
  explicit TimedSpan(LONGLONG& total) : total_(gHost.options != nullptr && gHost.options->timing ? &total : nullptr) {
    if (total_ != nullptr) start_ = Ticks();
  }
  ~TimedSpan() {
    if (total_ != nullptr) *total_ += Ticks() - start_;
  }
  TimedSpan(const TimedSpan&) = delete;
  TimedSpan& operator=(const TimedSpan&) = delete;

 private:
  LONGLONG* total_;
  LONGLONG start_ = 0;
};

// The time a module's dialog is open is a person's (or the watcher's), not

// ---- the record (Record.cpp) ------------------------------------------------

struct RecordStorage {
  std::vector<uint8_t> bytes;  // the record and a tail the module must not touch
  BigDocumentStruct big{};
  PlatformData platform{};
  PIDescriptorParameters descriptor{};
  unsigned char errorString[256] = {};
  FilterRecord* Record() { return reinterpret_cast<FilterRecord*>(bytes.data()); }
};

// The record as a full host fills it for a run on `doc`.
void FillRecord(RecordStorage& s, const RunDocument& doc, const RunOptions& o, void* hostWindow);
// Reports every member only the host writes that the module changed during
// `selector`, and writes past the record.
void CheckHostMembers(const hostkit::RecordGuard& guard, const uint8_t* now, const char* selector);
// The bytes of bigDocumentData the module may write.
const std::vector<hostkit::Range>& BigDocumentWritable();

// ---- pixels (Delivery.cpp) --------------------------------------------------

bool IsEmpty(const VRect& r);
std::string RectText(const VRect& r);

// The rectangles the record asks for now, in the coordinates the module uses.
struct Requests {
  VRect in, out, mask;
};
Requests ReadRequests();
// Delivers what the record asks for now: noErr, or the code for a request
// that cannot be served.
OSErr DeliverRequests();
// Takes the output buffer back into the destination, after the checks.
void Commit();
// The requests as the host reads them, for the call log.
hostkit::Event RequestEvent(hostkit::Ev kind, OSErr result);
// The record's advanceState procedure.
OSErr AdvanceState();

// ---- the document (Document.cpp) --------------------------------------------

size_t PixelCount(const PlanarImage& image);
// Stops the run: says why and keeps the reason in the outcome.
void Stop(RunOutcome& outcome, bool refused, const std::string& why);
// Sets the document up for a run; on success it has taken `image`'s planes.
// The destination's planes come from `destination` when it holds planes of
// the image's shape.
bool PrepareDocument(RunDocument& doc, PlanarImage& image, const PiplInfo* pipl, const RunOptions& o,
                     RunOutcome& outcome, PlaneReserve* destination = nullptr);
// The colour planes of `count` samples with the matte `m` mixed in by their
// alpha, into `to` (which may be `colour`); `depth` 8 or 16 bits.
void MatteSamples(uint8_t* to, const uint8_t* colour, const uint8_t* alpha, size_t count, int32_t depth, uint32_t m);
// After finish: the matte taken out, the selection applied.
void RemoveMatte(RunDocument& doc);
void MaskBySelection(RunDocument& doc, bool autoMask);
// How many samples differ between two images of the same shape.
size_t CountChanged(const PlanarImage& a, const PlanarImage& b);

}  // namespace pmsession
