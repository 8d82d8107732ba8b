// The host kit: the rules every test host of Pixelmoor enforces, in one place,
// with no knowledge of the module. Each harness (the in-process fake host, the
// fuzz host, pmhost, the bench host and the Wine programs' ModuleHost) is a
// thin front end that wires these parts to the record layout and to its own
// way of running calls:
//
//   CallLog      one ordered log of every host callback the module made
//   MisuseLog    everything the module did wrong, each with the call that did it
//   HandleTable  host handles: lock counts, blocks that move on their last
//                unlock, resizing or disposing while locked as misuse, unlocking
//                what is not locked as misuse, guard bytes after every block
//   TileBuffer   one delivered buffer: padded rows, top-down or bottom-up,
//                guard bytes around it and in every row's padding
//   RecordGuard  a byte compare of a host record before and after a call, with
//                the members the module may write
//   FaultPlan    "the n-th call of X fails" and "the next input byte decides"
//
// Beside this header: Suites.h (the service suites on these logs and this
// table), PlaneDelivery.h (advanceState from whole planes, in place or
// guarded), and for Windows ModuleHost_win.h (the host side of the programs
// that load the real module) and DialogDriver_win.h (its dialogs answered).
//
// Nothing here is a singleton: callbacks without a context reach their front
// end through whatever pointer the front end keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/HostApi.h"

namespace hostkit {

// ---- the call log -----------------------------------------------------------

enum class Ev {
  NewHandle,      // a = size, handle = id (0 when refused)
  DisposeHandle,  // handle
  Lock,           // handle, ok
  Unlock,         // handle, ok (false: it was not locked)
  AdvanceState,   // in/out/mask, planes, rects32, a = result
  Progress,       // a = done, b = total
  Abort,          // a = answer
  Note,           // text: free-form entries (suites, dialogs, selectors)
  Suite,          // a call into a service suite or the scripting procedures:
                  // op = the suites' own operation number, subject = the
                  // suite name, registry key or address it named, b = suite
                  // version, a = what the host answered; text describes it
};

struct Event {
  Ev kind{};
  int handle = 0;  // 1-based creation order of the handle
  bool ok = true;
  int32_t a = 0, b = 0;
  VRect in{}, out{}, mask{};  // as the host read them, in the mode in force
  bool rects32 = false;       // advanceState read the 32-bit members
  int16_t inLo = 0, inHi = 0, outLo = 0, outHi = 0;
  std::string text;
  int op = 0;           // Ev::Suite only
  std::string subject;  // Ev::Suite only
  std::string Describe() const;
  // The entries of the two per-tile callbacks.
  static Event Progress(int32_t done, int32_t total);
  static Event Abort(bool answer);
};

std::string RectText(const VRect& r);

class CallLog {
 public:
  void Add(Event e) { events_.push_back(std::move(e)); }
  void Note(std::string text);
  const std::vector<Event>& events() const { return events_; }
  std::vector<Event> Of(Ev kind) const;
  void Clear() { events_.clear(); }
  // The last entry, described; "(no call yet)" before the first.
  std::string Last() const;

 private:
  std::vector<Event> events_;
};

// ---- the misuse log ---------------------------------------------------------

struct Misuse {
  std::string what;  // what was wrong
  std::string call;  // the call that did it (or during which it was found)
};

class MisuseLog {
 public:
  // `call` names the callback or the selector in progress.
  void Flag(std::string what, std::string call);
  const std::vector<Misuse>& all() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  // The first misuse, which is where a chain of faults starts.
  std::optional<Misuse> First() const;
  // One line per misuse, "what (in call)".
  std::vector<std::string> Lines() const;

 private:
  std::vector<Misuse> entries_;
};

// ---- the fault plan ---------------------------------------------------------

// Which host calls fail. Two forms, mixable:
//   FailAt("lockProc", 3)   the third lockProc call fails (counted from 1);
//   DecideBy(bytes)         every call not planned by count takes the next
//                           byte of the input: an odd byte makes it fail.
//                           When the bytes run out, calls succeed.
class FaultPlan {
 public:
  void FailAt(const std::string& call, int n);
  void DecideBy(std::vector<uint8_t> bytes) { bytes_ = std::move(bytes), next_ = 0; }
  // Counts the call and answers whether it fails.
  bool Fails(const std::string& call);
  int Calls(const std::string& call) const;
  // The next input byte, or `otherwise` when there is none (for decisions
  // other than pass or fail, such as which code to answer).
  uint8_t NextByte(uint8_t otherwise);
  // No input byte is left: every decision from here on is "succeed".
  bool Exhausted() const { return next_ >= bytes_.size(); }

 private:
  std::map<std::string, int> calls_;
  std::map<std::string, std::vector<int>> failAt_;
  std::vector<uint8_t> bytes_;
  size_t next_ = 0;
};

// ---- handles ----------------------------------------------------------------

// Host handles as the strictest host treats them. The block of `size` bytes is
// allocated exactly (the sanitizers see an overrun) and followed by guard
// bytes (seen without the sanitizers too, at unlock, dispose and Check).
// Fresh memory is not zeroed. When the last lock goes, the block moves, so a
// pointer kept past the unlock points at freed memory.
class HandleTable {
 public:
  HandleTable(CallLog& log, MisuseLog& misuse);
  ~HandleTable();
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  bool moveOnUnlock = true;

  // Null (and a refused NewHandle entry) when `refuse` is set or size < 0.
  Handle New(int32_t size, bool refuse = false);
  void Dispose(Handle h);
  int32_t GetSize(Handle h);
  // filterBadParameters for an unknown handle, a negative size, or a locked
  // handle (misuse).
  OSErr SetSize(Handle h, int32_t size);
  // Null when `refuse` is set or the handle is not ours.
  Ptr Lock(Handle h, bool refuse = false);
  void Unlock(Handle h);

  // Queries, without logging: null or -1 or 0 for a handle not ours.
  uint8_t* Bytes(Handle h) const;  // null once disposed
  int LockCount(Handle h) const;
  int Id(Handle h) const;
  bool Live(Handle h) const { return Bytes(h) != nullptr; }
  int Created() const { return static_cast<int>(handles_.size()); }
  // Flags every live handle still locked (naming `when`) and every guard
  // written since the last check.
  void Check(const std::string& when);
  std::vector<std::string> StillLocked() const;

  // Off by default. When set, a block that moves (on its last unlock, or when
  // resized) is not freed at once: it is filled with kStaleByte and kept (the
  // last kKeptBlocks of them), so that a module reading through a pointer it
  // kept past the unlock reads nonsense, and one writing through it is
  // reported by CheckMoved, or when the block is finally let go. For hosts
  // without AddressSanitizer (mingw under Wine), where a freed block still
  // holds its old bytes and a write into it goes unseen; under ASan the freed
  // block itself is the better trap.
  bool keepMovedBlocks = false;
  static constexpr uint8_t kStaleByte = 0xDB;
  static constexpr size_t kKeptBlocks = 64;
  // Flags every kept block written since it moved, naming `when`.
  void CheckMoved(const std::string& when);

 private:
  struct Record;
  struct MovedBlock {
    int id = 0;
    size_t size = 0;
    std::unique_ptr<uint8_t[]> bytes;
  };
  Record* Find(Handle h, const char* operation);
  void CheckGuard(Record& r, const char* operation);
  // Gives the handle a fresh block of `size` bytes holding its old contents.
  void Move(Record& r, int32_t size);
  void CheckMovedBlock(const MovedBlock& m, const std::string& when);
  CallLog& log_;
  MisuseLog& misuse_;
  std::vector<std::unique_ptr<Record>> handles_;
  std::deque<MovedBlock> moved_;
};

// ---- delivered tiles --------------------------------------------------------

inline constexpr size_t kGuardBytes = 16;
// A guard byte depends on its position, so a write of any single value is seen.
inline uint8_t GuardByte(size_t i) { return static_cast<uint8_t>(i * 131u + 0x5Bu); }

// One delivered buffer: guard bytes, then `height` rows of `rowBytes`, of
// which the first `rowWidth` bytes are pixels, then guard bytes. Bottom-up
// buffers hold the top row last; the module is given negative row bytes.
struct TileBuffer {
  bool present = false;
  VRect rect{};
  int lo = 0, planes = 0;
  int32_t rowWidth = 0, rowBytes = 0, height = 0;  // rowBytes: the distance between rows, positive
  bool bottomUp = false;
  std::vector<uint8_t> bytes, pristine;

  // Lays out the buffer with guard bytes everywhere; pixel(y, i) then fills it.
  void Build(const VRect& r, int planeLo, int planeCount, int32_t padding, bool upwards,
             const std::function<uint8_t(int32_t y, int32_t x, int plane)>& pixel);
  // The same in two steps, for rows of `width` bytes whatever the depth (1,
  // 16 or 32 bits pack samples differently): Lay puts guard bytes everywhere,
  // the caller writes the pixels through Row(y), Seal takes the copy that
  // later checks compare with.
  void Lay(const VRect& r, int planeLo, int32_t width, int32_t padding, bool upwards);
  uint8_t* Row(int32_t y) { return bytes.data() + PixelIndex(y, 0); }
  const uint8_t* Row(int32_t y) const { return bytes.data() + PixelIndex(y, 0); }
  void Seal() { pristine = bytes; }
  int32_t MemoryRow(int32_t y) const { return bottomUp ? height - 1 - y : y; }
  size_t PixelIndex(int32_t y, int32_t i) const { return kGuardBytes + size_t(MemoryRow(y)) * size_t(rowBytes) + size_t(i); }
  // Where the module is told the buffer starts: the top row's first pixel.
  uint8_t* TopRow() { return bytes.data() + PixelIndex(0, 0); }
  // Row bytes as the module is told them (negative bottom-up); `shortBy` > 0
  // claims rows shorter than the width (a lying host).
  int32_t ToldRowBytes(int32_t shortBy = 0) const;
  bool IsPixel(size_t i) const;
  // Misuse texts: any byte written (an input or a mask), or a guard or padding
  // byte written (an output).
  std::optional<std::string> WrittenAnywhere(const char* what) const;
  std::optional<std::string> GuardWritten(const char* what) const;

  // Cheaper forms for a host that fills large buffers from a document it
  // keeps, and so needs no pristine copy. LayGuards sets the layout like Lay
  // but writes only the guard bytes (around the buffer and in each row's
  // padding): the caller writes every pixel. GuardDamage checks the guard
  // bytes against the values their positions give them. WrittenComparedWith
  // checks a buffer the module may only read: its guard bytes, and each row
  // against `source(y)`, the rowWidth bytes the row was filled from.
  void LayGuards(const VRect& r, int planeLo, int32_t width, int32_t padding, bool upwards);
  std::optional<std::string> GuardDamage(const char* what) const;
  std::optional<std::string> WrittenComparedWith(const char* what,
                                                 const std::function<const uint8_t*(int32_t y)>& source) const;
};

// ---- record guard -----------------------------------------------------------

struct Range {
  size_t offset, size;
};

// Compares a record's bytes with a copy taken before a call; only bytes inside
// `writable` may differ. Reports the first differing byte.
class RecordGuard {
 public:
  void Take(const void* record, size_t size);
  std::optional<std::string> Compare(const void* record, const char* what, const std::vector<Range>& writable) const;
  // The offset of the first byte outside `writable` that differs, for a host
  // that names the member it belongs to.
  std::optional<size_t> FirstChanged(const void* record, const std::vector<Range>& writable) const;

 private:
  std::vector<uint8_t> before_;
};

}  // namespace hostkit
