// An in-process host for the unit tests, a front end on the host kit
// (tests/hostkit), which holds the rules. It fills a real FilterRecord and
// AboutRecord through the pinned layout, serves 1-byte handles with lock
// counting, delivers tiles and planes through advanceState the way a host
// does (row bytes wider than the width, guard bytes around every buffer and in
// every row's padding), and records every callback in order. Misuse (a lock
// left, a guard or a host-owned member overwritten, an input buffer written, a
// request outside the image, a handle that is not ours) is collected instead
// of crashing; tests look at Misuse() after each scenario.
//
// Callbacks carry no context, so they reach the current FakeHost (the one
// alive) through a static pointer: construct one FakeHost at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostKit.h"
#include "Suites.h"
#include "host/HostApi.h"

namespace fakehost {

// The kit's call log entries, under the names the tests use.
using Ev = hostkit::Ev;
using Event = hostkit::Event;

struct Options {
  int32_t width = 16, height = 8;  // document size
  int16_t planes = 3;              // image planes; also the record's `planes`
  int32_t depth = 8;
  int16_t tileHeight = 64, tileWidth = 64;
  bool haveMask = false;           // also creates the mask image (all 255)
  bool bigDocument = true;         // offer a BigDocumentStruct
  int32_t initial32BitFlag = 0;    // PluginUsing32BitCoordinates before the call
  bool handleProcs = true;         // false: handleProcs is null
  int newProcFailsAt = 0;          // the nth newProc call (1-based) returns null; 0: never
  int newProcThrowsAt = 0;         // the nth newProc call throws std::bad_alloc (a host whose
                                   // allocator throws through the callback); 0: never
  int lockProcFailsAt = 0;         // the nth lockProc call returns null; 0: never
  int advanceFailsAt = 0;          // the nth advanceState call returns advanceError
  OSErr advanceError = -1;
  int abortAfterTiles = 0;         // abortProc answers 1 from its nth call on; 0: never
  int32_t rowPadding = 5;          // extra bytes per delivered row (guarded)
  bool bottomUp = false;           // rows run upwards in memory: negative row bytes
  bool moveOnUnlock = true;        // unlocked blocks move: stale pointers die
  // The service suites, scripting parameters and registry, with these
  // capabilities, put in the records (sSPBasic, descriptorParameters); unset:
  // the records have none. They live in this host's call log, misuse log and
  // handle table either way (suites()).
  std::optional<hostkit::Capabilities> suites;
};

// Deliberate lies a bad host may tell in advanceState.
struct Lies {
  int32_t outRectGrowth = 0;   // outRect read back grows by this many rows and columns
  int32_t rowBytesShort = 0;   // delivered row bytes claim this much less than the width
  bool nullIn = false, nullOut = false, nullMask = false;
};

class FakeHost {
 public:
  explicit FakeHost(const Options& options = {});
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  static FakeHost* Current();

  // Runs PluginMain(selector, ...) with the AboutRecord for 0, the
  // FilterRecord otherwise, then ends any delivery and checks host-owned
  // memory. Returns the result slot.
  int16_t Call(int16_t selector);
  // parameters (optional), prepare, start, continue, finish; stops at the first
  // non-zero result and returns it.
  int16_t RunFilter(bool withParameters = true);
  // After a call that the host left without it returning (a callback that
  // longjmp'd out of it): the host forgets the call and takes back the tile
  // it had delivered. What it does about the call's locked handles is the
  // test's to say.
  void Abandoned();

  FilterRecord* record() { return record_.get(); }
  AboutRecord* about() { return &about_->record; }
  BigDocumentStruct* bigDocument() { return big_ ? &big_->record : nullptr; }
  HandleProcs& handleProcs() { return handleProcs_; }
  intptr_t& dataSlot() { return *data_; }
  int16_t& result() { return *result_; }
  Lies& lies() { return lies_; }
  // Switches may be changed between calls; the counters below say where the
  // host stands (e.g. fail the next lock: lockProcFailsAt = lockCalls() + 1).
  Options& options() { return options_; }
  int newCalls() const { return faults_.Calls("newProc"); }
  int lockCalls() const { return faults_.Calls("lockProc"); }
  int advanceCalls() const { return faults_.Calls("advanceState"); }
  // Further planned failures, beside the switches in Options.
  hostkit::FaultPlan& faults() { return faults_; }
  // The service suites wired into this host (put in the records only when
  // Options::suites is set).
  hostkit::Suites& suites() { return *suites_; }

  // Sets the filter rectangle in both forms (the 16-bit one keeps the low
  // bits). From a callback it plays a host that moves the rectangle while the
  // module runs.
  void SetFilterRect(VRect rect);
  void SetBasicSuite(SPBasicSuite* suite);  // in both records
  void SetDescriptorParameters(PIDescriptorParameters* parameters);

  // Images, plane-major: index (plane * height + y) * width + x.
  std::vector<uint8_t>& source() { return source_; }
  std::vector<uint8_t>& destination() { return destination_; }
  std::vector<uint8_t>& mask() { return mask_; }  // height * width, empty without a mask
  uint8_t& Source(int plane, int32_t y, int32_t x);
  uint8_t& Destination(int plane, int32_t y, int32_t x);
  // Fills the source with seeded bytes and the destination with a copy.
  void FillSource(uint32_t seed);

  // Handles: the contents of a live handle, in place (null if unknown or disposed).
  uint8_t* HandleData(Handle h);
  int LockCount(Handle h);
  int HandleId(Handle h);
  int HandlesCreated() const { return handles_.Created(); }
  // The two blocks as the host holds them (null when absent).
  uint8_t* ParameterByte() { return HandleData(record_->parameters); }
  uint8_t* RunStateByte() { return HandleData(reinterpret_cast<Handle>(*data_)); }

  const std::vector<Event>& events() const { return log_.events(); }
  std::vector<Event> EventsOf(Ev kind) const { return log_.Of(kind); }
  void ClearEvents() { log_.Clear(); }
  void Log(const Event& event) { log_.Add(event); }
  void Note(std::string text) { log_.Note(std::move(text)); }

  // Everything misused so far ("what (in call)"), plus any handle still locked
  // and anything of the suites still outstanding.
  std::vector<std::string> Misuse() const;
  // The first misuse with the call that made it.
  std::optional<hostkit::Misuse> FirstMisuse() const { return misuse_.First(); }
  void Flag(std::string what) { misuse_.Flag(std::move(what), log_.Last()); }

  // Callbacks as installed in the record (public so that tests may reinstall).
  static Handle NewProc(int32_t size);
  static void DisposeProc(Handle h);
  static int32_t GetSizeProc(Handle h);
  static OSErr SetSizeProc(Handle h, int32_t size);
  static Ptr LockProc(Handle h, Boolean moveHigh);
  static void UnlockProc(Handle h);
  static void RecoverSpaceProc(int32_t size);
  static void DisposeRegularHandleProc(Handle h);
  static OSErr AdvanceState();
  static void ProgressProc(int32_t done, int32_t total);
  static Boolean AbortProc();

 private:
  template <typename T>
  struct Guarded {  // a host record followed by guard bytes
    T record{};
    uint8_t tail[32]{};
  };
  struct Delivery {
    hostkit::TileBuffer in, out, mask;
  };

  OSErr Deliver();
  void EndDelivery();
  void CheckUnchanged(int16_t selector);
  void TakeCopies();

  Options options_;
  Lies lies_;
  hostkit::CallLog log_;
  hostkit::MisuseLog misuse_;
  hostkit::FaultPlan faults_;
  hostkit::HandleTable handles_{log_, misuse_};
  std::unique_ptr<hostkit::Suites> suites_;
  std::unique_ptr<FilterRecord> record_;
  std::unique_ptr<Guarded<AboutRecord>> about_;
  std::unique_ptr<Guarded<BigDocumentStruct>> big_;
  std::unique_ptr<PlatformData> platform_;
  std::unique_ptr<intptr_t> data_;
  std::unique_ptr<int16_t> result_;
  HandleProcs handleProcs_{};
  std::unique_ptr<Delivery> delivery_;
  std::vector<uint8_t> source_, destination_, mask_;
  int abortCalls_ = 0;
  std::optional<int16_t> callSelector_;  // the selector of the call in progress
  // Copies taken before each call, to find writes to host-owned bytes.
  hostkit::RecordGuard recordBefore_, aboutBefore_, bigBefore_, platformBefore_, scriptingBefore_;
  PIDescriptorParameters* scriptingGuarded_ = nullptr;  // as the record pointed before the call
};

// Stand-ins for the Windows dialogs (FakeDialogs.cpp).
enum class DialogAnswer { Ok, Cancel, Failed };
struct FakeDialogState {
  DialogAnswer confirmAnswer = DialogAnswer::Ok;
  int confirmCalls = 0;
  bool aboutFails = false;  // the box cannot be shown: ShowAboutBox answers -1
  int aboutCalls = 0;
  const AboutRecord* lastAbout = nullptr;
  // Run while the dialog is "open", as a host's message loop runs during a
  // modal dialog (a host that calls PluginMain again from there, say).
  std::function<void()> whileConfirmOpen;
  std::function<void()> whileAboutOpen;
  // While "open", each dialog is the module's open dialog (host/OpenDialog.h),
  // as the real ones are; a left-over one that the module closes is counted
  // here, with the dialog it was ("confirm" or "about").
  std::vector<std::string> leftOverClosed;
};
FakeDialogState& FakeDialogs();  // reset by every FakeHost constructor

}  // namespace fakehost
