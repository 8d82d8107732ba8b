#include "Suites.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hostkit {

struct Suites::Descriptor {
  Booleans booleans;
};

struct Suites::Token {
  Booleans booleans;
};

namespace {

// Every Suites alive, in the order they were made current; the callbacks reach
// the last. A list rather than a chain of "previous" pointers, so that suites
// may end in any order (a fixture makes the next host before the last goes).
std::vector<Suites*>& Alive() {
  static std::vector<Suites*> alive;
  return alive;
}

// A call that arrives with no suites alive is a test bug; say so loudly and
// answer with a failure instead of crashing.
Suites* Fake(const char* call) {
  Suites* current = Suites::Current();
  if (current == nullptr) std::fprintf(stderr, "hostkit::Suites: %s called with no suites alive\n", call);
  return current;
}

constexpr OSErr kNoFake = -1;

SPErr CAcquire(const char* name, int32_t version, const void** suite) {
  Suites* f = Fake("AcquireSuite");
  return f ? f->OnAcquire(name, version, suite) : kSPSuiteNotFoundError;
}
SPErr CRelease(const char* name, int32_t version) {
  Suites* f = Fake("ReleaseSuite");
  return f ? f->OnRelease(name, version) : 0;
}
OSErr CRegister(const char* key, PIActionDescriptor d, Boolean persistent) {
  Suites* f = Fake("Register");
  return f ? f->OnRegister(key, d, persistent) : kNoFake;
}
OSErr CGet(const char* key, PIActionDescriptor* d) {
  Suites* f = Fake("Get");
  return f ? f->OnGet(key, d) : kNoFake;
}
OSErr CMake(PIActionDescriptor* d) {
  Suites* f = Fake("Make");
  return f ? f->OnMake(d) : kNoFake;
}
OSErr CFree(PIActionDescriptor d) {
  Suites* f = Fake("Free");
  return f ? f->OnFree(d) : kNoFake;
}
OSErr CPutBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean value) {
  Suites* f = Fake("PutBoolean");
  return f ? f->OnPutBoolean(d, key, value) : kNoFake;
}
OSErr CGetBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean* value) {
  Suites* f = Fake("GetBoolean");
  return f ? f->OnGetBoolean(d, key, value) : kNoFake;
}
PIWriteDescriptor COpenWrite() {
  Suites* f = Fake("openWriteDescriptorProc");
  return f ? f->OnOpenWrite() : nullptr;
}
OSErr CWriteBoolean(PIWriteDescriptor token, DescriptorKeyID key, Boolean value) {
  Suites* f = Fake("putBooleanProc");
  return f ? f->OnWriteBoolean(token, key, value) : kNoFake;
}
OSErr CCloseWrite(PIWriteDescriptor token, Handle* descriptor) {
  Suites* f = Fake("closeWriteDescriptorProc");
  return f ? f->OnCloseWrite(token, descriptor) : kNoFake;
}
SPErr CBrowse(const char* url) {
  Suites* f = Fake("BrowseUrl");
  return f ? f->OnBrowse(url) : kNoFake;
}
Handle CNewHandle(int32_t size) {
  Suites* f = Fake("newProc");
  return f ? f->handles().New(size) : nullptr;
}
void CDispose(Handle h) {
  if (Suites* f = Fake("disposeProc")) f->handles().Dispose(h);
}
int32_t CGetSize(Handle h) {
  Suites* f = Fake("getSizeProc");
  return f ? f->handles().GetSize(h) : 0;
}
OSErr CSetSize(Handle h, int32_t size) {
  Suites* f = Fake("setSizeProc");
  return f ? f->handles().SetSize(h, size) : kNoFake;
}
Ptr CLock(Handle h, Boolean) {
  Suites* f = Fake("lockProc");
  return f ? f->handles().Lock(h) : nullptr;
}
void CUnlock(Handle h) {
  if (Suites* f = Fake("unlockProc")) f->handles().Unlock(h);
}

std::string ShortSuiteName(const std::string& name) {
  if (name == kRegistrySuiteName) return "reg";
  if (name == kDescriptorSuiteName) return "desc";
  if (name == kFileListSuiteName) return "files";
  return name;
}

std::string KeyText(DescriptorKeyID key) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>((key >> (24 - 8 * i)) & 0xFF);
  return s;
}

const char* OpName(Op op) {
  switch (op) {
    case Op::AcquireSuite: return "AcquireSuite";
    case Op::ReleaseSuite: return "ReleaseSuite";
    case Op::Get: return "Get";
    case Op::Register: return "Register";
    case Op::Make: return "Make";
    case Op::Free: return "Free";
    case Op::GetBoolean: return "GetBoolean";
    case Op::PutBoolean: return "PutBoolean";
    case Op::OpenWrite: return "openWriteDescriptorProc";
    case Op::WriteBoolean: return "putBooleanProc";
    case Op::CloseWrite: return "closeWriteDescriptorProc";
    case Op::Dispose: return "disposeProc";
    case Op::BrowseUrl: return "BrowseUrl";
  }
  return "?";
}

}  // namespace

Suites::Suites(Capabilities capabilities)
    : caps(capabilities),
      ownLog_(new CallLog),
      ownMisuse_(new MisuseLog),
      ownHandles_(new HandleTable(*ownLog_, *ownMisuse_)),
      log_(ownLog_.get()),
      misuse_(ownMisuse_.get()),
      handles_(ownHandles_.get()) {
  Init();
  Alive().push_back(this);
}

// Attached suites do not become current when made: a host that put them in
// its records makes them current for its calls, and until then a standalone
// Suites that a test plugged in by hand keeps answering the callbacks.
Suites::Suites(CallLog& log, MisuseLog& misuse, HandleTable& handles, Capabilities capabilities)
    : caps(capabilities), log_(&log), misuse_(&misuse), handles_(&handles) {
  Init();
  Alive().insert(Alive().begin(), this);
}

void Suites::Init() {
  handleProcs_.handleProcsVersion = 1;
  handleProcs_.numHandleProcs = 8;
  handleProcs_.newProc = CNewHandle;
  handleProcs_.disposeProc = CDispose;
  handleProcs_.getSizeProc = CGetSize;
  handleProcs_.setSizeProc = CSetSize;
  handleProcs_.lockProc = CLock;
  handleProcs_.unlockProc = CUnlock;
  parameters_.descriptorParametersVersion = 0;
  parameters_.recordInfo = plugInDialogNone;
}

Suites::~Suites() {
  // Whatever the module leaked goes now, so that the leak shows in the
  // counters that the test read, not in the leak checker. Handles stay with
  // their table.
  for (Descriptor* d : descriptors_) delete d;
  for (Token* t : tokens_) delete t;
  auto& alive = Alive();
  alive.erase(std::remove(alive.begin(), alive.end(), this), alive.end());
}

Suites* Suites::Current() { return Alive().empty() ? nullptr : Alive().back(); }

void Suites::MakeCurrent() {
  auto& alive = Alive();
  alive.erase(std::remove(alive.begin(), alive.end(), this), alive.end());
  alive.push_back(this);
}

void Suites::Attach(FilterRecord& record) {
  record.sSPBasic = BasicSuite();
  if (record.handleProcs == nullptr) record.handleProcs = Handles();
  record.descriptorParameters = DescriptorParameters();
}

SPBasicSuite* Suites::BasicSuite() {
  if (!caps.basicSuite) return nullptr;
  basic_.AcquireSuite = CAcquire;
  basic_.ReleaseSuite = caps.basicHalfFilled ? nullptr : CRelease;
  return &basic_;
}

HandleProcs* Suites::Handles() {
  handleProcs_.disposeProc = caps.disposeProc ? CDispose : nullptr;
  return &handleProcs_;
}

PIDescriptorParameters* Suites::DescriptorParameters() {
  if (!caps.descriptorParameters) return nullptr;
  writeProcs_ = WriteDescriptorProcs{};
  writeProcs_.writeDescriptorProcsVersion = 0;
  writeProcs_.numWriteDescriptorProcs = 16;
  writeProcs_.openWriteDescriptorProc = COpenWrite;
  writeProcs_.closeWriteDescriptorProc = CCloseWrite;
  writeProcs_.putBooleanProc = caps.writeProcsHalfFilled ? nullptr : CWriteBoolean;
  parameters_.writeDescriptorProcs = caps.writeProcs ? &writeProcs_ : nullptr;
  return &parameters_;
}

void Suites::Record(Op op, std::string text, int32_t version, int32_t code) {
  Event e;
  e.kind = Ev::Suite;
  e.op = static_cast<int>(op);
  e.b = version;
  e.a = code;
  e.text = std::string(OpName(op)) + "(" + (op == Op::AcquireSuite || op == Op::ReleaseSuite
                                                ? ShortSuiteName(text) + "/" + std::to_string(version)
                                                : text) +
           ") -> " + std::to_string(code);
  e.subject = std::move(text);
  log_->Add(std::move(e));
}

void Suites::Flag(std::string what) { misuse_->Flag(std::move(what), log_->Last()); }

std::vector<SuiteEvent> Suites::Events() const {
  std::vector<SuiteEvent> out;
  for (const Event& e : log_->events()) {
    if (e.kind == Ev::Suite) out.push_back(SuiteEvent{static_cast<Op>(e.op), e.subject, e.b, e.a});
    if (e.kind == Ev::DisposeHandle) out.push_back(SuiteEvent{Op::Dispose, {}, 0, 0});
  }
  return out;
}

SPErr Suites::OnAcquire(const char* name, int32_t version, const void** suite) {
  const std::string n = name != nullptr ? name : "";
  const void* table = nullptr;
  if (n == kRegistrySuiteName && version == kRegistrySuiteVersion && caps.registrySuite) {
    registryProcs_ = PSDescriptorRegistryProcs{CRegister, nullptr, caps.registryHalfFilled ? nullptr : CGet};
    table = &registryProcs_;
  } else if (n == kDescriptorSuiteName && version >= 2 && version <= caps.descriptorVersion) {
    descriptorProcs_ = PSActionDescriptorProcs{};
    descriptorProcs_.Make = CMake;
    descriptorProcs_.Free = CFree;
    descriptorProcs_.PutBoolean = CPutBoolean;
    descriptorProcs_.GetBoolean = caps.descriptorHalfFilled ? nullptr : CGetBoolean;
    table = &descriptorProcs_;
  } else if (n == kFileListSuiteName && version == kFileListSuiteVersion && caps.fileListSuite) {
    fileListProcs_ = PSGetFileListSuite4{nullptr, nullptr, nullptr, CBrowse};
    table = &fileListProcs_;
  }
  if (suite == nullptr) {
    misuse_->Flag("AcquireSuite without a place for the suite", "AcquireSuite(" + ShortSuiteName(n) + ")");
    return kSPSuiteNotFoundError;
  }
  if (table == &fileListProcs_ && caps.fileListNullTable) {
    // Success and a counted acquisition, but nothing to call.
    *suite = nullptr;
    ++held_[{n, version}];
    Record(Op::AcquireSuite, n, version, 0);
    return 0;
  }
  // A refusing host leaves the suite pointer null.
  *suite = table;
  const SPErr code = table != nullptr ? 0 : kSPSuiteNotFoundError;
  if (table != nullptr) ++held_[{n, version}];
  Record(Op::AcquireSuite, n, version, code);
  return code;
}

SPErr Suites::OnRelease(const char* name, int32_t version) {
  const std::string n = name != nullptr ? name : "";
  Record(Op::ReleaseSuite, n, version);
  auto it = held_.find({n, version});
  if (it == held_.end() || it->second == 0) {
    Flag("ReleaseSuite of " + n + " v" + std::to_string(version) + " that is not held");
    return kSPSuiteNotFoundError;
  }
  --it->second;
  return 0;
}

Suites::Descriptor* Suites::LiveDescriptor(PIActionDescriptor d, const char* call) {
  auto* descriptor = reinterpret_cast<Descriptor*>(d);
  if (descriptors_.count(descriptor) == 0) {
    misuse_->Flag(std::string(call) + " on a descriptor that is not live", call);
    return nullptr;
  }
  return descriptor;
}

OSErr Suites::OnRegister(const char* key, PIActionDescriptor d, Boolean persistent) {
  const std::string k = key != nullptr ? key : "";
  Descriptor* descriptor = LiveDescriptor(d, "Register");
  const OSErr code = descriptor == nullptr ? OSErr(-50) : caps.registerFails;
  Record(Op::Register, k, 0, code);
  if (code != 0) return code;
  // The registry keeps its own copy; the caller still owns and frees its descriptor.
  registry[k] = RegistryEntry{descriptor->booleans, persistent != 0};
  return 0;
}

OSErr Suites::OnGet(const char* key, PIActionDescriptor* d) {
  const std::string k = key != nullptr ? key : "";
  Record(Op::Get, k, 0, caps.getFails);
  if (d == nullptr) {
    Flag("Get without a place for the descriptor");
    return -50;
  }
  *d = nullptr;
  if (caps.getFails != 0) return caps.getFails;
  auto it = registry.find(k);
  if (it == registry.end()) return 0;  // nothing registered: a null descriptor
  // The caller gets a copy of its own, to free.
  auto* copy = new Descriptor{it->second.booleans};
  descriptors_.insert(copy);
  *d = reinterpret_cast<PIActionDescriptor>(copy);
  return 0;
}

OSErr Suites::OnMake(PIActionDescriptor* d) {
  Record(Op::Make, {}, 0, caps.makeFails);
  if (d == nullptr) {
    Flag("Make without a place for the descriptor");
    return -50;
  }
  *d = nullptr;
  if (caps.makeFails != 0) return caps.makeFails;
  auto* made = new Descriptor{};
  descriptors_.insert(made);
  *d = reinterpret_cast<PIActionDescriptor>(made);
  return 0;
}

OSErr Suites::OnFree(PIActionDescriptor d) {
  Record(Op::Free);
  Descriptor* descriptor = LiveDescriptor(d, "Free");
  if (descriptor == nullptr) return -50;
  descriptors_.erase(descriptor);
  delete descriptor;
  return 0;
}

OSErr Suites::OnPutBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean value) {
  Descriptor* descriptor = LiveDescriptor(d, "PutBoolean");
  const OSErr code = descriptor == nullptr ? OSErr(-50) : caps.putBooleanFails;
  Record(Op::PutBoolean, KeyText(key) + "=" + std::to_string(value), 0, code);
  if (code != 0) return code;
  descriptor->booleans[key] = value != 0;
  return 0;
}

OSErr Suites::OnGetBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean* value) {
  Descriptor* descriptor = LiveDescriptor(d, "GetBoolean");
  OSErr code = descriptor == nullptr ? OSErr(-50) : caps.getBooleanFails;
  if (code == 0 && descriptor->booleans.count(key) == 0) code = kKeyMissing;
  Record(Op::GetBoolean, KeyText(key), 0, code);
  if (code != 0) return code;
  if (value == nullptr) {
    Flag("GetBoolean without a place for the value");
    return -50;
  }
  *value = descriptor->booleans[key] ? caps.trueByte : 0;
  return 0;
}

PIWriteDescriptor Suites::OnOpenWrite() {
  Record(Op::OpenWrite);
  if (caps.nullWriteToken) return nullptr;
  auto* token = new Token{};
  tokens_.insert(token);
  if (whileWriteOpens) whileWriteOpens();
  return reinterpret_cast<PIWriteDescriptor>(token);
}

OSErr Suites::OnWriteBoolean(PIWriteDescriptor t, DescriptorKeyID key, Boolean value) {
  Record(Op::WriteBoolean, KeyText(key) + "=" + std::to_string(value));
  auto* token = reinterpret_cast<Token*>(t);
  if (tokens_.count(token) == 0) {
    Flag("putBooleanProc with a token that is not open");
    return -50;
  }
  token->booleans[key] = value != 0;
  return 0;
}

OSErr Suites::OnCloseWrite(PIWriteDescriptor t, Handle* descriptor) {
  Record(Op::CloseWrite);
  auto* token = reinterpret_cast<Token*>(t);
  if (tokens_.count(token) == 0) {
    Flag("closeWriteDescriptorProc with a token that is not open");
    return -50;
  }
  const Booleans booleans = token->booleans;
  tokens_.erase(token);
  delete token;
  if (descriptor == nullptr) {
    Flag("closeWriteDescriptorProc without a place for the descriptor");
    return -50;
  }
  *descriptor = MakeScriptDescriptor(booleans);
  return 0;
}

SPErr Suites::OnBrowse(const char* url) {
  const std::string u = url != nullptr ? url : "";
  Record(Op::BrowseUrl, u);
  browsedUrls.push_back(u);
  return 0;
}

Handle Suites::MakeScriptDescriptor(const Booleans& booleans) {
  // The block holds the booleans as a host would flatten them (four key
  // bytes and a value byte each), so that it has a size and contents for
  // the table's rules to guard.
  Handle h = handles_->New(static_cast<int32_t>(booleans.size() * 5));
  if (h == nullptr) return nullptr;
  uint8_t* bytes = handles_->Bytes(h);
  for (const auto& [key, value] : booleans) {
    for (int i = 0; i < 4; ++i) *bytes++ = static_cast<uint8_t>(key >> (24 - 8 * i));
    *bytes++ = value ? 1 : 0;
  }
  scripts_[h] = booleans;
  return h;
}

std::optional<Booleans> Suites::ScriptBooleans(Handle h) const {
  const auto it = scripts_.find(h);
  if (it == scripts_.end() || !handles_->Live(h)) return std::nullopt;
  return it->second;
}

int Suites::LiveScriptDescriptors() const {
  return static_cast<int>(std::count_if(scripts_.begin(), scripts_.end(),
                                        [this](const auto& entry) { return handles_->Live(entry.first); }));
}

bool Suites::DisposeIfOurs(Handle h) {
  if (!ScriptBooleans(h)) return false;
  handles_->Dispose(h);
  return true;
}

std::string Suites::SuiteTrace() const {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : " ") + s; };
  for (const SuiteEvent& e : Events()) {
    switch (e.op) {
      case Op::AcquireSuite:
        add(std::string(e.code == 0 ? "A:" : "A!:") + ShortSuiteName(e.text) + "/" + std::to_string(e.version));
        break;
      case Op::ReleaseSuite: add("R:" + ShortSuiteName(e.text) + "/" + std::to_string(e.version)); break;
      case Op::Get: add("Get"); break;
      case Op::Register: add("Register"); break;
      case Op::Make: add("Make"); break;
      case Op::Free: add("Free"); break;
      case Op::GetBoolean: add("GetBoolean"); break;
      case Op::PutBoolean: add("PutBoolean"); break;
      case Op::BrowseUrl: add("Browse"); break;
      default: break;
    }
  }
  return out;
}

std::string Suites::ScriptTrace() const {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : " ") + s; };
  for (const SuiteEvent& e : Events()) {
    switch (e.op) {
      case Op::OpenWrite: add("Open"); break;
      case Op::WriteBoolean: add("Put:" + e.text); break;
      case Op::CloseWrite: add("Close"); break;
      case Op::Dispose: add("Dispose"); break;
      default: break;
    }
  }
  return out;
}

int Suites::Count(Op op, const std::string& text) const {
  int n = 0;
  for (const SuiteEvent& e : Events())
    if (e.op == op && (text.empty() || e.text == text)) ++n;
  return n;
}

int Suites::HeldSuites() const {
  int n = 0;
  for (const auto& [suite, count] : held_) n += count;
  return n;
}

std::vector<std::string> Suites::Outstanding() const {
  std::vector<std::string> all;
  for (const auto& [suite, count] : held_)
    if (count > 0 && suite.first != kFileListSuiteName)
      all.push_back("suite " + ShortSuiteName(suite.first) + "/" + std::to_string(suite.second) + " is still held");
  if (!descriptors_.empty()) all.push_back(std::to_string(descriptors_.size()) + " descriptor(s) not freed");
  if (!tokens_.empty()) all.push_back(std::to_string(tokens_.size()) + " write token(s) not closed");
  return all;
}

void Suites::Check(const std::string& when) {
  for (const std::string& outstanding : Outstanding()) misuse_->Flag(outstanding + " " + when, when);
}

std::vector<std::string> Suites::Misuse() const {
  std::vector<std::string> all = misuse_->Lines();
  for (std::string& locked : handles_->StillLocked()) all.push_back(std::move(locked));
  for (std::string& outstanding : Outstanding()) all.push_back(std::move(outstanding));
  return all;
}

}  // namespace hostkit
