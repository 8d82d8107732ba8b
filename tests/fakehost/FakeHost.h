// An in-process host for the unit tests. It fills a real FilterRecord and
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
#include <string>
#include <vector>

#include "host/HostApi.h"

namespace fakehost {

enum class Ev {
  NewHandle,      // a = size, handle = id (0 when refused)
  DisposeHandle,  // handle
  Lock,           // handle, ok
  Unlock,         // handle
  AdvanceState,   // in/out/mask, planes, rects32, a = result
  Progress,       // a = done, b = total
  Abort,          // a = answer
  Note,           // text: free-form entries from other fakes (the dialogs)
};

struct Event {
  Ev kind{};
  int handle = 0;   // 1-based creation order of the handle
  bool ok = true;
  int32_t a = 0, b = 0;
  VRect in{}, out{}, mask{};  // as the host read them, in the mode in force
  bool rects32 = false;       // advanceState read the 32-bit members
  int16_t inLo = 0, inHi = 0, outLo = 0, outHi = 0;
  std::string text;
  std::string Describe() const;
};

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
  int lockProcFailsAt = 0;         // the nth lockProc call returns null; 0: never
  int advanceFailsAt = 0;          // the nth advanceState call returns advanceError
  OSErr advanceError = -1;
  int abortAfterTiles = 0;         // abortProc answers 1 from its nth call on; 0: never
  int32_t rowPadding = 5;          // extra bytes per delivered row (guarded)
  bool bottomUp = false;           // rows run upwards in memory: negative row bytes
  bool moveOnUnlock = true;        // unlocked blocks move: stale pointers die
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
  int newCalls() const { return newCalls_; }
  int lockCalls() const { return lockCalls_; }
  int advanceCalls() const { return advanceCalls_; }

  // Sets the filter rectangle in both forms (the 16-bit one keeps the low bits).
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
  int HandlesCreated() const { return static_cast<int>(handles_.size()); }
  // The two blocks as the host holds them (null when absent).
  uint8_t* ParameterByte() { return HandleData(record_->parameters); }
  uint8_t* RunStateByte() { return HandleData(reinterpret_cast<Handle>(*data_)); }

  const std::vector<Event>& events() const { return events_; }
  std::vector<Event> EventsOf(Ev kind) const;
  void ClearEvents() { events_.clear(); }
  void Log(const Event& event) { events_.push_back(event); }
  void Note(std::string text);

  // Everything misused so far, plus any handle still locked.
  std::vector<std::string> Misuse() const;
  void Flag(std::string what) { misuse_.push_back(std::move(what)); }

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
  struct HandleRecord;
  struct Delivery;
  template <typename T>
  struct Guarded {  // a host record followed by guard bytes
    T record{};
    uint8_t tail[32]{};
  };

  HandleRecord* Find(Handle h, const char* operation);
  OSErr Deliver();
  void EndDelivery();
  void CheckUnchanged(int16_t selector);

  Options options_;
  Lies lies_;
  std::unique_ptr<FilterRecord> record_;
  std::unique_ptr<Guarded<AboutRecord>> about_;
  std::unique_ptr<Guarded<BigDocumentStruct>> big_;
  std::unique_ptr<PlatformData> platform_;
  std::unique_ptr<intptr_t> data_;
  std::unique_ptr<int16_t> result_;
  HandleProcs handleProcs_{};
  std::vector<std::unique_ptr<HandleRecord>> handles_;
  std::unique_ptr<Delivery> delivery_;
  std::vector<uint8_t> source_, destination_, mask_;
  std::vector<Event> events_;
  std::vector<std::string> misuse_;
  int newCalls_ = 0, lockCalls_ = 0, advanceCalls_ = 0, abortCalls_ = 0;
  // Copies taken before each call, to find writes to host-owned bytes.
  FilterRecord recordBefore_{};
  Guarded<AboutRecord> aboutBefore_{};
  Guarded<BigDocumentStruct> bigBefore_{};
  PlatformData platformBefore_{};
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
};
FakeDialogState& FakeDialogs();  // reset by every FakeHost constructor

}  // namespace fakehost
