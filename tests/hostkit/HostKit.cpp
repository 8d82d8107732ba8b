#include "HostKit.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>

namespace hostkit {

namespace {

// Under AddressSanitizer a block is allocated to its exact size, so that a
// read or write one past it is reported where it happens; elsewhere (mingw
// under Wine) guard bytes after the block catch the writes at the next check.
// GCC says so with __SANITIZE_ADDRESS__, clang (before 16) only through
// __has_feature; the fuzzer is built with clang.
#if defined(__SANITIZE_ADDRESS__)
#define PM_HOSTKIT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PM_HOSTKIT_ASAN 1
#endif
#endif
#if defined(PM_HOSTKIT_ASAN)
constexpr size_t kHandleGuard = 0;
#else
constexpr size_t kHandleGuard = 16;
#endif
constexpr uint8_t kFreshByte = 0xBE;  // fresh host memory is not zeroed

}  // namespace

std::string RectText(const VRect& r) {
  std::ostringstream s;
  s << "(" << r.top << "," << r.left << "," << r.bottom << "," << r.right << ")";
  return s.str();
}

Event Event::Progress(int32_t done, int32_t total) {
  Event e;
  e.kind = Ev::Progress;
  e.a = done;
  e.b = total;
  return e;
}

Event Event::Abort(bool answer) {
  Event e;
  e.kind = Ev::Abort;
  e.a = answer ? 1 : 0;
  return e;
}

std::string Event::Describe() const {
  std::ostringstream s;
  switch (kind) {
    case Ev::NewHandle: s << "newProc(" << a << ") -> " << handle; break;
    case Ev::DisposeHandle: s << "disposeProc(" << handle << ")"; break;
    case Ev::Lock: s << "lockProc(" << handle << ")" << (ok ? "" : " refused"); break;
    case Ev::Unlock: s << "unlockProc(" << handle << ")" << (ok ? "" : " (was not locked)"); break;
    case Ev::AdvanceState:
      s << "advanceState in" << RectText(in) << " out" << RectText(out) << " mask" << RectText(mask) << " planes "
        << inLo << "-" << inHi << "/" << outLo << "-" << outHi << (rects32 ? " 32-bit" : " 16-bit") << " -> " << a;
      break;
    case Ev::Progress: s << "progress(" << a << ", " << b << ")"; break;
    case Ev::Abort: s << "abort -> " << a; break;
    case Ev::Note: s << text; break;
    case Ev::Suite: s << text; break;
  }
  if (kind != Ev::Note && kind != Ev::Suite && !text.empty()) s << " " << text;
  return s.str();
}

// ---- logs -------------------------------------------------------------------

void CallLog::Note(std::string text) {
  Event e;
  e.kind = Ev::Note;
  e.text = std::move(text);
  events_.push_back(std::move(e));
}

std::vector<Event> CallLog::Of(Ev kind) const {
  std::vector<Event> out;
  std::copy_if(events_.begin(), events_.end(), std::back_inserter(out), [&](const Event& e) { return e.kind == kind; });
  return out;
}

std::string CallLog::Last() const { return events_.empty() ? "(no call yet)" : events_.back().Describe(); }

void MisuseLog::Flag(std::string what, std::string call) { entries_.push_back({std::move(what), std::move(call)}); }

std::optional<Misuse> MisuseLog::First() const {
  if (entries_.empty()) return std::nullopt;
  return entries_.front();
}

std::vector<std::string> MisuseLog::Lines() const {
  std::vector<std::string> lines;
  for (const Misuse& m : entries_) lines.push_back(m.what + " (in " + m.call + ")");
  return lines;
}

// ---- fault plan -------------------------------------------------------------

void FaultPlan::FailAt(const std::string& call, int n) {
  if (n > 0) failAt_[call].push_back(n);
}

bool FaultPlan::Fails(const std::string& call) {
  const int n = ++calls_[call];
  const auto planned = failAt_.find(call);
  if (planned != failAt_.end())
    return std::find(planned->second.begin(), planned->second.end(), n) != planned->second.end();
  if (next_ < bytes_.size()) return (bytes_[next_++] & 1) != 0;
  return false;
}

int FaultPlan::Calls(const std::string& call) const {
  const auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

uint8_t FaultPlan::NextByte(uint8_t otherwise) { return next_ < bytes_.size() ? bytes_[next_++] : otherwise; }

// ---- handles ----------------------------------------------------------------

struct HandleTable::Record {
  int id = 0;
  int32_t size = 0;
  std::unique_ptr<uint8_t[]> bytes;  // size bytes, then kHandleGuard guard bytes
  int locks = 0;
  bool disposed = false;

  void Allocate(int32_t newSize, const uint8_t* keep, int32_t keepSize) {
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[size_t(newSize) + kHandleGuard]);
    std::memset(fresh.get(), kFreshByte, size_t(newSize));
    if (keep != nullptr) std::memcpy(fresh.get(), keep, size_t(std::min(keepSize, newSize)));
    for (size_t i = 0; i < kHandleGuard; ++i) fresh[size_t(newSize) + i] = GuardByte(i);
    bytes = std::move(fresh);
    size = newSize;
  }
};

HandleTable::HandleTable(CallLog& log, MisuseLog& misuse) : log_(log), misuse_(misuse) {}
HandleTable::~HandleTable() = default;

HandleTable::Record* HandleTable::Find(Handle h, const char* operation) {
  for (const auto& record : handles_) {
    if (reinterpret_cast<Handle>(record.get()) != h) continue;
    if (record->disposed) {
      misuse_.Flag(std::string(operation) + " on disposed handle " + std::to_string(record->id), operation);
      return nullptr;
    }
    return record.get();
  }
  misuse_.Flag(std::string(operation) + " on a handle this host never made", operation);
  return nullptr;
}

void HandleTable::CheckGuard(Record& r, const char* operation) {
  for (size_t i = 0; i < kHandleGuard; ++i) {
    if (r.bytes[size_t(r.size) + i] == GuardByte(i)) continue;
    misuse_.Flag("written past the end of handle " + std::to_string(r.id), operation);
    for (size_t j = 0; j < kHandleGuard; ++j) r.bytes[size_t(r.size) + j] = GuardByte(j);  // report once
    return;
  }
}

Handle HandleTable::New(int32_t size, bool refuse) {
  Event e;
  e.kind = Ev::NewHandle;
  e.a = size;
  if (refuse || size < 0) {
    e.ok = false;
    log_.Add(e);
    return nullptr;
  }
  auto record = std::make_unique<Record>();
  record->id = static_cast<int>(handles_.size()) + 1;
  record->Allocate(size, nullptr, 0);
  e.handle = record->id;
  log_.Add(e);
  Handle h = reinterpret_cast<Handle>(record.get());
  handles_.push_back(std::move(record));
  return h;
}

void HandleTable::Dispose(Handle h) {
  Record* record = Find(h, "disposeProc");
  Event e;
  e.kind = Ev::DisposeHandle;
  e.handle = record ? record->id : 0;
  log_.Add(e);
  if (record == nullptr) return;
  CheckGuard(*record, "disposeProc");
  if (record->locks > 0) misuse_.Flag("disposeProc on locked handle " + std::to_string(record->id), log_.Last());
  record->disposed = true;
  record->locks = 0;
  record->bytes.reset();
}

int32_t HandleTable::GetSize(Handle h) {
  Record* record = Find(h, "getSizeProc");
  return record ? record->size : 0;
}

OSErr HandleTable::SetSize(Handle h, int32_t size) {
  Record* record = Find(h, "setSizeProc");
  if (record == nullptr || size < 0) return filterBadParameters;
  if (record->locks > 0) {
    misuse_.Flag("setSizeProc on locked handle " + std::to_string(record->id), "setSizeProc");
    return filterBadParameters;
  }
  CheckGuard(*record, "setSizeProc");
  Move(*record, size);
  return noErr;
}

Ptr HandleTable::Lock(Handle h, bool refuse) {
  Record* record = Find(h, "lockProc");
  Event e;
  e.kind = Ev::Lock;
  e.handle = record ? record->id : 0;
  e.ok = record != nullptr && !refuse;
  log_.Add(e);
  if (!e.ok) return nullptr;
  ++record->locks;
  return reinterpret_cast<Ptr>(record->bytes.get());
}

void HandleTable::Unlock(Handle h) {
  Record* record = Find(h, "unlockProc");
  Event e;
  e.kind = Ev::Unlock;
  e.handle = record ? record->id : 0;
  e.ok = record != nullptr && record->locks > 0;
  log_.Add(e);
  // Hosts that count locks go below zero here, and some then let a block
  // move while the module still holds a pointer into it; the module must
  // give back only the locks it took.
  if (!e.ok) {
    if (record != nullptr)
      misuse_.Flag("unlockProc on handle " + std::to_string(record->id) + ", which is not locked", log_.Last());
    return;
  }
  CheckGuard(*record, "unlockProc");
  if (--record->locks == 0 && moveOnUnlock) Move(*record, record->size);
}

void HandleTable::Move(Record& r, int32_t size) {
  if (!keepMovedBlocks) {
    r.Allocate(size, r.bytes.get(), r.size);
    return;
  }
  MovedBlock old{r.id, size_t(r.size), std::move(r.bytes)};
  r.Allocate(size, old.bytes.get(), static_cast<int32_t>(old.size));
  std::memset(old.bytes.get(), kStaleByte, old.size + kHandleGuard);
  old.size += kHandleGuard;  // a stale write just past the old block counts too
  if (moved_.size() == kKeptBlocks) {
    CheckMovedBlock(moved_.front(), "when its kept block was let go");
    moved_.pop_front();
  }
  moved_.push_back(std::move(old));
}

void HandleTable::CheckMovedBlock(const MovedBlock& m, const std::string& when) {
  for (size_t i = 0; i < m.size; ++i) {
    if (m.bytes[i] == kStaleByte) continue;
    misuse_.Flag("written through a stale pointer: byte " + std::to_string(i) + " of handle " + std::to_string(m.id) +
                     "'s block after the block moved (at its last unlock or a resize)",
                 when);
    std::memset(m.bytes.get(), kStaleByte, m.size);  // report once
    return;
  }
}

void HandleTable::CheckMoved(const std::string& when) {
  for (const MovedBlock& m : moved_) CheckMovedBlock(m, when);
}

uint8_t* HandleTable::Bytes(Handle h) const {
  for (const auto& record : handles_)
    if (reinterpret_cast<Handle>(record.get()) == h && !record->disposed) return record->bytes.get();
  return nullptr;
}

int HandleTable::LockCount(Handle h) const {
  for (const auto& record : handles_)
    if (reinterpret_cast<Handle>(record.get()) == h) return record->locks;
  return -1;
}

int HandleTable::Id(Handle h) const {
  for (const auto& record : handles_)
    if (reinterpret_cast<Handle>(record.get()) == h) return record->id;
  return 0;
}

void HandleTable::Check(const std::string& when) {
  for (const auto& h : handles_) {
    if (h->disposed) continue;
    CheckGuard(*h, when.c_str());
    if (h->locks > 0) misuse_.Flag("handle " + std::to_string(h->id) + " left locked " + when, when);
  }
}

std::vector<std::string> HandleTable::StillLocked() const {
  std::vector<std::string> all;
  for (const auto& h : handles_)
    if (!h->disposed && h->locks > 0) all.push_back("handle " + std::to_string(h->id) + " is still locked");
  return all;
}

// ---- tiles ------------------------------------------------------------------

void TileBuffer::Build(const VRect& r, int planeLo, int planeCount, int32_t padding, bool upwards,
                       const std::function<uint8_t(int32_t, int32_t, int)>& pixel) {
  const int32_t width = r.right - r.left;
  Lay(r, planeLo, width * planeCount, padding, upwards);
  planes = planeCount;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int p = 0; p < planes; ++p) bytes[PixelIndex(y, x * planes + p)] = pixel(y, x, p);
  Seal();
}

namespace {

// The layout both ways of laying a buffer share: rows of `width` pixel bytes
// and `padding` more, guard bytes before and after (their values not yet set).
void Shape(TileBuffer& b, const VRect& r, int planeLo, int32_t width, int32_t padding, bool upwards) {
  b.present = true;
  b.rect = r;
  b.lo = planeLo;
  b.planes = 1;
  b.height = r.bottom - r.top;
  b.rowWidth = width;
  b.rowBytes = b.rowWidth + padding;
  b.bottomUp = upwards;
  // Resizing keeps the allocation from one tile to the next.
  b.bytes.resize(2 * kGuardBytes + size_t(b.height) * size_t(b.rowBytes));
}

}  // namespace

void TileBuffer::Lay(const VRect& r, int planeLo, int32_t width, int32_t padding, bool upwards) {
  Shape(*this, r, planeLo, width, padding, upwards);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = GuardByte(i);
}

int32_t TileBuffer::ToldRowBytes(int32_t shortBy) const {
  if (!present) return 0;
  const int32_t distance = shortBy > 0 ? rowWidth - shortBy : rowBytes;
  return bottomUp ? -distance : distance;
}

bool TileBuffer::IsPixel(size_t i) const {
  if (i < kGuardBytes) return false;
  const size_t inside = i - kGuardBytes;
  if (inside >= size_t(height) * size_t(rowBytes)) return false;
  return inside % size_t(rowBytes) < size_t(rowWidth);
}

std::optional<std::string> TileBuffer::WrittenAnywhere(const char* what) const {
  if (present && bytes != pristine) return std::string(what) + " buffer written by the module";
  return std::nullopt;
}

std::optional<std::string> TileBuffer::GuardWritten(const char* what) const {
  if (!present) return std::nullopt;
  // Compared a stretch at a time (the guard before, each row's padding, the
  // guard after): the fuzz host checks every tile it delivers.
  auto changedIn = [&](size_t from, size_t to) -> std::optional<std::string> {
    if (to <= from || std::memcmp(bytes.data() + from, pristine.data() + from, to - from) == 0) return std::nullopt;
    size_t i = from;
    while (bytes[i] == pristine[i]) ++i;
    return std::string(what) + " guard byte " + std::to_string(i) + " of tile " + RectText(rect) + " written";
  };
  if (auto written = changedIn(0, kGuardBytes)) return written;
  for (int32_t row = 0; row < height; ++row) {
    const size_t start = kGuardBytes + size_t(row) * size_t(rowBytes);
    if (auto written = changedIn(start + size_t(rowWidth), start + size_t(rowBytes))) return written;
  }
  return changedIn(kGuardBytes + size_t(height) * size_t(rowBytes), bytes.size());
}

namespace {

// GuardByte(i) repeats every 256 positions: the guard bytes of any stretch
// are a slice of this table, so that they are written and compared with
// memcpy and memcmp (hosts that deliver large images do this for every row).
const uint8_t* GuardPattern() {
  static const auto pattern = [] {
    std::array<uint8_t, 512> p{};
    for (size_t i = 0; i < p.size(); ++i) p[i] = GuardByte(i);
    return p;
  }();
  return pattern.data();
}

void FillGuard(std::vector<uint8_t>& bytes, size_t from, size_t to) {
  while (from < to) {
    const size_t n = std::min<size_t>(to - from, 256);
    std::memcpy(bytes.data() + from, GuardPattern() + from % 256, n);
    from += n;
  }
}

bool GuardIntact(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  while (from < to) {
    const size_t n = std::min<size_t>(to - from, 256);
    if (std::memcmp(bytes.data() + from, GuardPattern() + from % 256, n) != 0) return false;
    from += n;
  }
  return true;
}

}  // namespace

void TileBuffer::LayGuards(const VRect& r, int planeLo, int32_t width, int32_t padding, bool upwards) {
  Shape(*this, r, planeLo, width, padding, upwards);
  FillGuard(bytes, 0, kGuardBytes);
  for (int32_t row = 0; row < height; ++row) {
    const size_t start = kGuardBytes + size_t(row) * size_t(rowBytes);
    FillGuard(bytes, start + size_t(rowWidth), start + size_t(rowBytes));
  }
  FillGuard(bytes, kGuardBytes + size_t(height) * size_t(rowBytes), bytes.size());
}

std::optional<std::string> TileBuffer::GuardDamage(const char* what) const {
  if (!present) return std::nullopt;
  const size_t end = kGuardBytes + size_t(height) * size_t(rowBytes);
  bool intact = GuardIntact(bytes, 0, kGuardBytes) && GuardIntact(bytes, end, bytes.size());
  for (int32_t row = 0; row < height && intact; ++row) {
    const size_t start = kGuardBytes + size_t(row) * size_t(rowBytes);
    intact = GuardIntact(bytes, start + size_t(rowWidth), start + size_t(rowBytes));
  }
  if (intact) return std::nullopt;
  size_t i = 0;
  while (IsPixel(i) || bytes[i] == GuardByte(i)) ++i;
  return std::string(what) + " guard byte " + std::to_string(i) + " of tile " + RectText(rect) + " written";
}

std::optional<std::string> TileBuffer::WrittenComparedWith(
    const char* what, const std::function<const uint8_t*(int32_t y)>& source) const {
  if (!present) return std::nullopt;
  if (GuardDamage(what)) return std::string(what) + " buffer written by the module";
  for (int32_t y = 0; y < height; ++y)
    if (std::memcmp(Row(y), source(y), size_t(rowWidth)) != 0) return std::string(what) + " buffer written by the module";
  return std::nullopt;
}

// ---- record guard -----------------------------------------------------------

void RecordGuard::Take(const void* record, size_t size) {
  const auto* p = static_cast<const uint8_t*>(record);
  before_.assign(p, p + size);
}

std::optional<std::string> RecordGuard::Compare(const void* record, const char* what,
                                                const std::vector<Range>& writable) const {
  const auto* after = static_cast<const uint8_t*>(record);
  for (size_t i = 0; i < before_.size(); ++i) {
    if (before_[i] == after[i]) continue;
    if (std::any_of(writable.begin(), writable.end(), [&](const Range& r) { return i >= r.offset && i < r.offset + r.size; }))
      continue;
    std::ostringstream s;
    s << what << " byte " << i << " written (" << int(before_[i]) << " -> " << int(after[i]) << ")";
    return s.str();  // one report per record is enough to find the member
  }
  return std::nullopt;
}

std::optional<size_t> RecordGuard::FirstChanged(const void* record, const std::vector<Range>& writable) const {
  const auto* after = static_cast<const uint8_t*>(record);
  for (size_t i = 0; i < before_.size(); ++i) {
    if (before_[i] == after[i]) continue;
    if (std::any_of(writable.begin(), writable.end(), [&](const Range& r) { return i >= r.offset && i < r.offset + r.size; }))
      continue;
    return i;
  }
  return std::nullopt;
}

}  // namespace hostkit
