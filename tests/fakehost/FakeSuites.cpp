#include "FakeSuites.h"

#include <cstdio>
#include <cstring>

namespace fakehost {

struct FakeSuites::Descriptor {
  Booleans booleans;
};

struct FakeSuites::Token {
  Booleans booleans;
};

// Handles of both kinds: plain memory from newProc, and scripting descriptors.
struct FakeSuites::FakeHandle {
  std::vector<uint8_t> bytes;  // never empty, so that a lock gives a usable pointer
  int32_t size = 0;
  int locks = 0;
  bool script = false;
  Booleans booleans;
};

namespace {

FakeSuites* gCurrent = nullptr;

// A call that arrives with no fake alive is a test bug; say so loudly and
// answer with a failure instead of crashing.
FakeSuites* Fake(const char* call) {
  if (gCurrent == nullptr) std::fprintf(stderr, "FakeSuites: %s called with no fake alive\n", call);
  return gCurrent;
}

constexpr OSErr kNoFake = -1;

SPErr CAcquire(const char* name, int32_t version, const void** suite) {
  FakeSuites* f = Fake("AcquireSuite");
  return f ? f->OnAcquire(name, version, suite) : kSPSuiteNotFoundError;
}
SPErr CRelease(const char* name, int32_t version) {
  FakeSuites* f = Fake("ReleaseSuite");
  return f ? f->OnRelease(name, version) : 0;
}
OSErr CRegister(const char* key, PIActionDescriptor d, Boolean persistent) {
  FakeSuites* f = Fake("Register");
  return f ? f->OnRegister(key, d, persistent) : kNoFake;
}
OSErr CGet(const char* key, PIActionDescriptor* d) {
  FakeSuites* f = Fake("Get");
  return f ? f->OnGet(key, d) : kNoFake;
}
OSErr CMake(PIActionDescriptor* d) {
  FakeSuites* f = Fake("Make");
  return f ? f->OnMake(d) : kNoFake;
}
OSErr CFree(PIActionDescriptor d) {
  FakeSuites* f = Fake("Free");
  return f ? f->OnFree(d) : kNoFake;
}
OSErr CPutBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean value) {
  FakeSuites* f = Fake("PutBoolean");
  return f ? f->OnPutBoolean(d, key, value) : kNoFake;
}
OSErr CGetBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean* value) {
  FakeSuites* f = Fake("GetBoolean");
  return f ? f->OnGetBoolean(d, key, value) : kNoFake;
}
PIWriteDescriptor COpenWrite() {
  FakeSuites* f = Fake("openWriteDescriptorProc");
  return f ? f->OnOpenWrite() : nullptr;
}
OSErr CWriteBoolean(PIWriteDescriptor token, DescriptorKeyID key, Boolean value) {
  FakeSuites* f = Fake("putBooleanProc");
  return f ? f->OnWriteBoolean(token, key, value) : kNoFake;
}
OSErr CCloseWrite(PIWriteDescriptor token, Handle* descriptor) {
  FakeSuites* f = Fake("closeWriteDescriptorProc");
  return f ? f->OnCloseWrite(token, descriptor) : kNoFake;
}
SPErr CBrowse(const char* url) {
  FakeSuites* f = Fake("BrowseUrl");
  return f ? f->OnBrowse(url) : kNoFake;
}
Handle CNewHandle(int32_t size) {
  FakeSuites* f = Fake("newProc");
  return f ? f->OnNewHandle(size) : nullptr;
}
void CDispose(Handle h) {
  if (FakeSuites* f = Fake("disposeProc")) f->OnDispose(h);
}
int32_t CGetSize(Handle h) {
  FakeSuites* f = Fake("getSizeProc");
  return f ? f->OnGetSize(h) : 0;
}
Ptr CLock(Handle h, Boolean) {
  FakeSuites* f = Fake("lockProc");
  return f ? f->OnLock(h) : nullptr;
}
void CUnlock(Handle h) {
  if (FakeSuites* f = Fake("unlockProc")) f->OnUnlock(h);
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

}  // namespace

FakeSuites::FakeSuites(Capabilities capabilities) : caps(capabilities), previous_(gCurrent) {
  gCurrent = this;
  handleProcs_.handleProcsVersion = 1;
  handleProcs_.numHandleProcs = 8;
  handleProcs_.newProc = CNewHandle;
  handleProcs_.disposeProc = CDispose;
  handleProcs_.getSizeProc = CGetSize;
  handleProcs_.lockProc = CLock;
  handleProcs_.unlockProc = CUnlock;
  parameters_.descriptorParametersVersion = 0;
  parameters_.recordInfo = plugInDialogNone;
}

FakeSuites::~FakeSuites() {
  // Whatever the module leaked goes now, so that the leak shows in the
  // counters that the test read, not in the leak checker.
  for (Descriptor* d : descriptors_) delete d;
  for (Token* t : tokens_) delete t;
  for (FakeHandle* h : handles_) delete h;
  if (gCurrent == this) gCurrent = previous_;
}

FakeSuites* FakeSuites::Current() { return gCurrent; }

void FakeSuites::Attach(FilterRecord& record) {
  record.sSPBasic = BasicSuite();
  if (record.handleProcs == nullptr) record.handleProcs = Handles();
  record.descriptorParameters = DescriptorParameters();
}

SPBasicSuite* FakeSuites::BasicSuite() {
  if (!caps.basicSuite) return nullptr;
  basic_.AcquireSuite = CAcquire;
  basic_.ReleaseSuite = caps.basicHalfFilled ? nullptr : CRelease;
  return &basic_;
}

HandleProcs* FakeSuites::Handles() {
  handleProcs_.disposeProc = caps.disposeProc ? CDispose : nullptr;
  return &handleProcs_;
}

PIDescriptorParameters* FakeSuites::DescriptorParameters() {
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

void FakeSuites::Record(Op op, std::string text, int32_t version, int32_t code) {
  events.push_back(SuiteEvent{op, std::move(text), version, code});
}

SPErr FakeSuites::OnAcquire(const char* name, int32_t version, const void** suite) {
  const std::string n = name != nullptr ? name : "";
  const void* table = nullptr;
  if (n == kRegistrySuiteName && version == 1 && caps.registrySuite) {
    registryProcs_ = PSDescriptorRegistryProcs{CRegister, nullptr, caps.registryHalfFilled ? nullptr : CGet};
    table = &registryProcs_;
  } else if (n == kDescriptorSuiteName && version >= 2 && version <= caps.descriptorVersion) {
    descriptorProcs_ = PSActionDescriptorProcs{};
    descriptorProcs_.Make = CMake;
    descriptorProcs_.Free = CFree;
    descriptorProcs_.PutBoolean = CPutBoolean;
    descriptorProcs_.GetBoolean = caps.descriptorHalfFilled ? nullptr : CGetBoolean;
    table = &descriptorProcs_;
  } else if (n == kFileListSuiteName && version == 4 && caps.fileListSuite) {
    fileListProcs_ = PSGetFileListSuite4{nullptr, nullptr, nullptr, CBrowse};
    table = &fileListProcs_;
  }
  if (suite == nullptr) {
    misuse.push_back("AcquireSuite without a place for the suite");
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

SPErr FakeSuites::OnRelease(const char* name, int32_t version) {
  const std::string n = name != nullptr ? name : "";
  Record(Op::ReleaseSuite, n, version);
  auto it = held_.find({n, version});
  if (it == held_.end() || it->second == 0) {
    misuse.push_back("ReleaseSuite of " + n + " v" + std::to_string(version) + " that is not held");
    return kSPSuiteNotFoundError;
  }
  --it->second;
  return 0;
}

FakeSuites::Descriptor* FakeSuites::LiveDescriptor(PIActionDescriptor d, const char* call) {
  auto* descriptor = reinterpret_cast<Descriptor*>(d);
  if (descriptors_.count(descriptor) == 0) {
    misuse.push_back(std::string(call) + " on a descriptor that is not live");
    return nullptr;
  }
  return descriptor;
}

OSErr FakeSuites::OnRegister(const char* key, PIActionDescriptor d, Boolean persistent) {
  const std::string k = key != nullptr ? key : "";
  Descriptor* descriptor = LiveDescriptor(d, "Register");
  const OSErr code = descriptor == nullptr ? OSErr(-50) : caps.registerFails;
  Record(Op::Register, k, 0, code);
  if (code != 0) return code;
  // The registry keeps its own copy; the caller still owns and frees its descriptor.
  registry[k] = RegistryEntry{descriptor->booleans, persistent != 0};
  return 0;
}

OSErr FakeSuites::OnGet(const char* key, PIActionDescriptor* d) {
  const std::string k = key != nullptr ? key : "";
  Record(Op::Get, k, 0, caps.getFails);
  if (d == nullptr) {
    misuse.push_back("Get without a place for the descriptor");
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

OSErr FakeSuites::OnMake(PIActionDescriptor* d) {
  Record(Op::Make, {}, 0, caps.makeFails);
  if (d == nullptr) {
    misuse.push_back("Make without a place for the descriptor");
    return -50;
  }
  *d = nullptr;
  if (caps.makeFails != 0) return caps.makeFails;
  auto* made = new Descriptor{};
  descriptors_.insert(made);
  *d = reinterpret_cast<PIActionDescriptor>(made);
  return 0;
}

OSErr FakeSuites::OnFree(PIActionDescriptor d) {
  Record(Op::Free);
  Descriptor* descriptor = LiveDescriptor(d, "Free");
  if (descriptor == nullptr) return -50;
  descriptors_.erase(descriptor);
  delete descriptor;
  return 0;
}

OSErr FakeSuites::OnPutBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean value) {
  Descriptor* descriptor = LiveDescriptor(d, "PutBoolean");
  const OSErr code = descriptor == nullptr ? OSErr(-50) : caps.putBooleanFails;
  Record(Op::PutBoolean, KeyText(key) + "=" + std::to_string(value), 0, code);
  if (code != 0) return code;
  descriptor->booleans[key] = value != 0;
  return 0;
}

OSErr FakeSuites::OnGetBoolean(PIActionDescriptor d, DescriptorKeyID key, Boolean* value) {
  Descriptor* descriptor = LiveDescriptor(d, "GetBoolean");
  OSErr code = descriptor == nullptr ? OSErr(-50) : caps.getBooleanFails;
  if (code == 0 && descriptor->booleans.count(key) == 0) code = kKeyMissing;
  Record(Op::GetBoolean, KeyText(key), 0, code);
  if (code != 0) return code;
  if (value == nullptr) {
    misuse.push_back("GetBoolean without a place for the value");
    return -50;
  }
  *value = descriptor->booleans[key] ? caps.trueByte : 0;
  return 0;
}

PIWriteDescriptor FakeSuites::OnOpenWrite() {
  Record(Op::OpenWrite);
  if (caps.nullWriteToken) return nullptr;
  auto* token = new Token{};
  tokens_.insert(token);
  if (whileWriteOpens) whileWriteOpens();
  return reinterpret_cast<PIWriteDescriptor>(token);
}

OSErr FakeSuites::OnWriteBoolean(PIWriteDescriptor t, DescriptorKeyID key, Boolean value) {
  Record(Op::WriteBoolean, KeyText(key) + "=" + std::to_string(value));
  auto* token = reinterpret_cast<Token*>(t);
  if (tokens_.count(token) == 0) {
    misuse.push_back("putBooleanProc with a token that is not open");
    return -50;
  }
  token->booleans[key] = value != 0;
  return 0;
}

OSErr FakeSuites::OnCloseWrite(PIWriteDescriptor t, Handle* descriptor) {
  Record(Op::CloseWrite);
  auto* token = reinterpret_cast<Token*>(t);
  if (tokens_.count(token) == 0) {
    misuse.push_back("closeWriteDescriptorProc with a token that is not open");
    return -50;
  }
  Handle h = MakeScriptDescriptor(token->booleans);
  tokens_.erase(token);
  delete token;
  if (descriptor == nullptr) {
    misuse.push_back("closeWriteDescriptorProc without a place for the descriptor");
    OnDispose(h);
    return -50;
  }
  *descriptor = h;
  return 0;
}

SPErr FakeSuites::OnBrowse(const char* url) {
  const std::string u = url != nullptr ? url : "";
  Record(Op::BrowseUrl, u);
  browsedUrls.push_back(u);
  return 0;
}

Handle FakeSuites::MakeScriptDescriptor(const Booleans& booleans) {
  auto* h = new FakeHandle{};
  h->script = true;
  h->booleans = booleans;
  handles_.insert(h);
  return reinterpret_cast<Handle>(h);
}

std::optional<Booleans> FakeSuites::ScriptBooleans(Handle h) const {
  auto* handle = reinterpret_cast<FakeHandle*>(h);
  if (handles_.count(handle) == 0 || !handle->script) return std::nullopt;
  return handle->booleans;
}

std::vector<uint8_t> FakeSuites::CopyHandleBytes(Handle h) const {
  auto* handle = reinterpret_cast<FakeHandle*>(h);
  if (handles_.count(handle) == 0) return {};
  return std::vector<uint8_t>(handle->bytes.begin(), handle->bytes.begin() + handle->size);
}

Handle FakeSuites::OnNewHandle(int32_t size) {
  if (size < 0) return nullptr;
  auto* h = new FakeHandle{};
  h->bytes.assign(static_cast<size_t>(size > 0 ? size : 1), 0);
  h->size = size;
  handles_.insert(h);
  return reinterpret_cast<Handle>(h);
}

bool FakeSuites::DisposeIfOurs(Handle h) {
  auto* handle = reinterpret_cast<FakeHandle*>(h);
  if (handles_.count(handle) == 0) return false;
  Record(Op::Dispose);
  handles_.erase(handle);
  delete handle;
  return true;
}

void FakeSuites::OnDispose(Handle h) {
  if (DisposeIfOurs(h)) return;
  Record(Op::Dispose);
  misuse.push_back(h == nullptr ? "disposeProc of a null handle" : "disposeProc of a handle that is not live");
}

int32_t FakeSuites::OnGetSize(Handle h) {
  auto* handle = reinterpret_cast<FakeHandle*>(h);
  if (handles_.count(handle) == 0) {
    misuse.push_back("getSizeProc of a handle that is not live");
    return 0;
  }
  return handle->size;
}

Ptr FakeSuites::OnLock(Handle h) {
  auto* handle = reinterpret_cast<FakeHandle*>(h);
  if (handles_.count(handle) == 0) {
    misuse.push_back("lockProc of a handle that is not live");
    return nullptr;
  }
  ++handle->locks;
  return reinterpret_cast<Ptr>(handle->bytes.data());
}

void FakeSuites::OnUnlock(Handle h) {
  auto* handle = reinterpret_cast<FakeHandle*>(h);
  if (handles_.count(handle) == 0) {
    misuse.push_back("unlockProc of a handle that is not live");
    return;
  }
  // A host that counts locks would go below zero: the module gives back only
  // the locks it took.
  if (handle->locks == 0) {
    misuse.push_back("unlockProc of a handle that is not locked");
    return;
  }
  --handle->locks;
}

std::string FakeSuites::SuiteTrace() const {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : " ") + s; };
  for (const SuiteEvent& e : events) {
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

std::string FakeSuites::ScriptTrace() const {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : " ") + s; };
  for (const SuiteEvent& e : events) {
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

int FakeSuites::Count(Op op, const std::string& text) const {
  int n = 0;
  for (const SuiteEvent& e : events)
    if (e.op == op && (text.empty() || e.text == text)) ++n;
  return n;
}

int FakeSuites::HeldSuites() const {
  int n = 0;
  for (const auto& [suite, count] : held_) n += count;
  return n;
}

int FakeSuites::LockedHandles() const {
  int n = 0;
  for (const FakeHandle* h : handles_)
    if (h->locks > 0) ++n;
  return n;
}

}  // namespace fakehost
