// Works the module's real dialogs: loads Pixelmoor.8bf, calls PluginMain as a
// host does, with a real owner window, and drives the modal dialogs through
// the test hosts' dialog driver (tests/hostkit/DialogDriver_win.h) from a
// second thread while the main thread sits in the dialog's modal loop.
//
//   pixelmoor_dialogs_test <scenario> <path of Pixelmoor.8bf> [output folder]
//
// Scenarios: confirm, about, about-long-text, context-search, reentry, left-open, and screenshot
// (writes confirm-dialog.bmp and about-box.bmp into the output folder).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DialogDriver_win.h"
#include "HostKit.h"
#include "HostSuiteNames.h"
#include "ModuleHost_win.h"
#include "PlaneDelivery.h"
#include "Suites.h"
#include "host/HostApi.h"

namespace {

// ---- checks -----------------------------------------------------------------

std::atomic<int> gFailures{0};
std::atomic<const char*> gStep{"setup"};

void Check(bool ok, const char* what, int line) {
  if (ok) return;
  ++gFailures;
  std::fprintf(stderr, "line %d, during \"%s\": check failed: %s\n", line, gStep.load(), what);
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

void CheckEqual(const std::string& actual, const std::string& expected, const char* what, int line) {
  if (actual == expected) return;
  Check(false, what, line);
  std::fprintf(stderr, "  actual:   \"%s\" (%zu)\n  expected: \"%s\" (%zu)\n", actual.c_str(), actual.size(),
               expected.c_str(), expected.size());
}
#define CHECK_TEXT(actual, expected) CheckEqual((actual), (expected), #actual " == " #expected, __LINE__)

// ---- the host: a front end on the host kit -------------------------------------
// The host side is the kit's ModuleHost (tests/hostkit/ModuleHost_win.h),
// shared with the Wine settings program: handles from the kit's handle table
// (lock counts, blocks that move on their last unlock, guard bytes), tiles
// through guarded buffers with padded rows, top-down and bottom-up by turns,
// every call in one call log, every PluginMain call inside the record guard,
// and every misuse, with the call that made it, in one misuse log that main
// reads after the scenario. The suites (the basic suite, and the file-list
// suite whose browse procedure the about box's links call) are the kit's, on
// the same logs and table; only the file-list suite is served, every other is
// refused.
// Host state changes on the host's (main) thread only; the driver thread
// reads it through BrowsedUrls and FileListAcquisitions, which run there.

using hostkit::kFileListSuiteName;
using hostkit::PluginMainProc;

hostkit::Capabilities DialogHostCapabilities() {
  hostkit::Capabilities caps;
  caps.registrySuite = false;
  caps.descriptorVersion = 0;
  return caps;
}

struct Host : hostkit::ModuleHost {
  int fileListBase = 0;  // file-list acquisitions before the last Reset

  Host() : ModuleHost(DialogHostCapabilities()) {}

  int FileListAcquisitions() const {
    return suites.Count(hostkit::Op::AcquireSuite, kFileListSuiteName) - fileListBase;
  }
  // What the module asked of the host since the last Reset.
  void Reset() {
    fileListBase = suites.Count(hostkit::Op::AcquireSuite, kFileListSuiteName);
    suites.browsedUrls.clear();
  }
};
// Made in main, and kept until the process ends: the module gives back the
// suite it holds when it is unloaded.
Host* gHost = nullptr;

Handle NewHandle(int32_t size) { return gHost->Procs()->newProc(size); }
void DisposeHandle(Handle h) { gHost->Procs()->disposeProc(h); }
Ptr LockHandle(Handle h, Boolean moveHigh) { return gHost->Procs()->lockProc(h, moveHigh); }
void UnlockHandle(Handle h) { gHost->Procs()->unlockProc(h); }

SPBasicSuite* BasicSuite() { return gHost->suites.BasicSuite(); }

// A 4 by 4 image of three 8-bit planes with every sample at 7, delivered one
// plane at a time in guarded tiles; the host's output copy starts as the
// source, and a conversion leaves no sample at 7.
constexpr int kSide = 4;
constexpr int kImagePlanes = 3;
std::vector<uint8_t> gInPlanes[kImagePlanes];
std::vector<uint8_t> gOutPlanes[kImagePlanes];
hostkit::Planes gImage;
intptr_t* gCurrentData = nullptr;

void ResetImage() {
  gImage = hostkit::Planes{};
  gImage.height = gImage.width = gImage.rowBytes = kSide;
  for (int p = 0; p < kImagePlanes; ++p) {
    gInPlanes[p].assign(kSide * kSide, 7);
    gOutPlanes[p].assign(kSide * kSide, 7);
    gImage.in.push_back(gInPlanes[p].data());
    gImage.out.push_back(gOutPlanes[p].data());
  }
}

void CallModule(PluginMainProc main, int16_t selector, void* record, size_t size,
                const std::vector<hostkit::Range>& writable, intptr_t* data, int16_t* result) {
  gHost->Call(main, selector, record, size, writable, data, result);
}

// ---- the module -----------------------------------------------------------------

using DialogProc = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

struct Plugin {
  HMODULE module = nullptr;
  PluginMainProc main = nullptr;
  DialogProc confirmProc = nullptr;
};

using hostkit::WindowsPath;

Plugin LoadPlugin(const std::string& path) {
  const hostkit::LoadedModule loaded = hostkit::LoadModule(path);
  if (loaded.handle == nullptr) std::exit(2);
  Plugin p;
  p.module = loaded.handle;
  p.main = loaded.main;
  p.confirmProc = hostkit::Export<DialogProc>(p.module, "tarnwickPixelmoorProc");
  if (p.main == nullptr || p.confirmProc == nullptr) {
    std::fprintf(stderr, "%s lacks its exports\n", path.c_str());
    std::exit(2);
  }
  return p;
}

struct StartOutcome {
  int16_t result;
  int advanceStateCalls;
  bool converted;  // no sample left at 7
};

// Checks what a call left in the host's hands: no handle locked, no guard
// byte written, and the host's slots holding live handles.
void CheckHandlesAfter(const char* call, Handle parameters, intptr_t data) {
  gHost->handles.Check(std::string("after ") + call);
  if (!gHost->handles.Live(parameters)) gHost->misuse.Flag("parameters holds something other than a live handle", call);
  if (!gHost->handles.Live(reinterpret_cast<Handle>(data)))
    gHost->misuse.Flag("data slot holds something other than a live handle", call);
}

// The bytes of the host's own after the FilterRecord.
constexpr size_t kRecordTail = 256;

// One start call, as a host makes it after parameters and prepare; on the
// host's one result slot when it passes one.
StartOutcome RunStart(const Plugin& plugin, HWND owner, int16_t planes = 3, int16_t* slot = nullptr) {
  // The host's own tail after the record, compared like the record.
  std::vector<unsigned char> storage(sizeof(FilterRecord) + kRecordTail, 0);
  auto* record = reinterpret_cast<FilterRecord*>(storage.data());
  PlatformData platform{owner};
  record->platformData = &platform;
  record->handleProcs = gHost->Procs();
  record->sSPBasic = BasicSuite();
  record->advanceState = hostkit::ModuleHost::AdvanceState;
  record->parameters = NewHandle(1);
  *LockHandle(record->parameters, 0) = 1;  // dithering on
  UnlockHandle(record->parameters);
  record->imageSize = {kSide, kSide};
  record->filterRect = {0, 0, kSide, kSide};
  record->planes = planes;
  record->depth = 8;
  record->outTileHeight = record->outTileWidth = kSide;
  intptr_t data = reinterpret_cast<intptr_t>(NewHandle(1));
  int16_t own = 1;
  int16_t& result = slot != nullptr ? *slot : own;
  result = 1;  // hosts may start a call with a non-zero slot

  gHost->Reset();
  ResetImage();
  // Tiles go top-down and bottom-up (negative row bytes) by turns, from one
  // start that asks for tiles to the next (the kit's host flips them): every
  // scenario that converts twice sees both layouts.
  gHost->Serve(*record, gImage);
  gCurrentData = &data;
  CallModule(plugin.main, filterSelectorStart, record, storage.size(), hostkit::FilterRecordWritable(), &data, &result);
  const int advanced = gHost->EndServe();
  gCurrentData = nullptr;
  CheckHandlesAfter("start", record->parameters, data);

  DisposeHandle(record->parameters);
  DisposeHandle(reinterpret_cast<Handle>(data));
  bool converted = true;
  for (const auto& plane : gOutPlanes) converted = converted && std::find(plane.begin(), plane.end(), 7) == plane.end();
  return {result, advanced, converted};
}

// The about record with the host's own tail after it, never touched.
struct HostAbout {
  AboutRecord record;
  unsigned char hostBytes[64];
};

// One about call; answers the result slot, which the about box leaves alone.
int16_t RunAbout(const Plugin& plugin, HWND owner, SPBasicSuite* basic) {
  HostAbout about{};
  PlatformData platform{owner};
  about.record.platformData = &platform;
  about.record.sSPBasic = basic;
  intptr_t data = 0;
  int16_t result = 0x1234;
  CallModule(plugin.main, filterSelectorAbout, &about, sizeof(about), {}, &data, &result);
  gHost->handles.Check("after about");
  return result;
}

// ---- windows seen from the driver thread ---------------------------------------------

DWORD gHostThread = 0;

// Work that a scenario has the host window do on the host's thread, as a
// host's own message handling runs while a modal dialog of the module is open.
constexpr UINT kRunHostWork = WM_APP + 1;
std::function<void()> gHostWork;
// Runs the function that lParam points at, on the host's thread.
constexpr UINT kReadHostState = WM_APP + 2;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kRunHostWork) {
    if (gHostWork) gHostWork();
    return 0;
  }
  if (message == kReadHostState) {
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateOwnerWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = HostWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
  wc.lpszClassName = "PixelmoorTestHost";
  RegisterClassA(&wc);
  // A frameless window: its client area is its whole rectangle.
  HWND owner = CreateWindowExA(0, wc.lpszClassName, "Host", WS_POPUP | WS_VISIBLE, 150, 120, 700, 500, nullptr,
                               nullptr, wc.hInstance, nullptr);
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  return owner;
}

using hostkit::Click;
using hostkit::StaysOpen;
using hostkit::Text;

HWND gOwner = nullptr;

// What the driver thread knows of the host's state: read on the host's
// thread (inside the modal loop of the dialog that is open), where it changes.
std::vector<std::string> BrowsedUrls() {
  std::vector<std::string> urls;
  const std::function<void()> read = [&] { urls = gHost->suites.browsedUrls; };
  SendMessageA(gOwner, kReadHostState, 0, reinterpret_cast<LPARAM>(&read));
  return urls;
}
int FileListAcquisitions() {
  int count = 0;
  const std::function<void()> read = [&] { count = gHost->FileListAcquisitions(); };
  SendMessageA(gOwner, kReadHostState, 0, reinterpret_cast<LPARAM>(&read));
  return count;
}

// The modal dialog that the host thread is running, once it is on screen.
HWND WaitForDialog() { return hostkit::WaitForDialog(gHostThread, 10000); }
bool Closes(HWND dialog) { return hostkit::WaitClosed(dialog, 5000); }
void PressKey(HWND dialog, WPARAM key) { hostkit::PressKey(gHostThread, dialog, key); }

// Owned by the host window, and where the placement formula puts it from the
// owner's client rectangle, the dialog's size and style and the system metrics.
void CheckOwnerAndPlacement(HWND dialog, HWND owner) {
  const hostkit::DialogDescription found = hostkit::Describe(dialog);
  CHECK(found.owner == owner);
  RECT client{};
  GetClientRect(owner, &client);
  POINT topLeft{client.left, client.top};
  POINT bottomRight{client.right, client.bottom};
  ClientToScreen(owner, &topLeft);
  ClientToScreen(owner, &bottomRight);
  const RECT& box = found.rect;
  const int width = box.right - box.left;
  const int height = box.bottom - box.top;
  int correction = GetSystemMetrics(SM_CXSIZE);
  if ((GetWindowLongA(dialog, GWL_STYLE) & WS_SYSMENU) == 0) correction -= correction / 3;
  int x = topLeft.x + std::max<int>(bottomRight.x - topLeft.x - width, 0) / 2 - correction;
  if (x + width > GetSystemMetrics(SM_CXSCREEN)) x = std::max(GetSystemMetrics(SM_CXSCREEN) - width, 0);
  int y = topLeft.y + std::max<int>(bottomRight.y - topLeft.y - height, 0) / 3;
  if (y + height > GetSystemMetrics(SM_CYSCREEN)) y = std::max(GetSystemMetrics(SM_CYSCREEN) - height, 0);
  CHECK(box.left == x);
  CHECK(box.top == y);
  if (box.left != x || box.top != y)
    std::fprintf(stderr, "  dialog at (%ld, %ld), expected (%d, %d)\n", box.left, box.top, x, y);
}

// Runs `host` on this (the host's) thread while another thread waits for the
// dialog that it opens and hands it to `work`.
void WithDialog(const char* step, const std::function<void(HWND)>& work, const std::function<void()>& host) {
  gStep = step;
  std::thread driver([&] {
    HWND dialog = WaitForDialog();
    CHECK(dialog != nullptr);
    if (dialog != nullptr) work(dialog);
  });
  host();
  driver.join();
}

void CloseWithOk(HWND dialog) { Click(dialog, 1); }
void CloseWithEscape(HWND dialog) { hostkit::SendChar(dialog, 27); }

// ---- scenarios ---------------------------------------------------------------------

void ConfirmScenario(const Plugin& plugin, HWND owner) {
  // The procedure answers TRUE for every command, FALSE for other messages.
  gStep = "tarnwickPixelmoorProc results";
  CHECK(plugin.confirmProc(nullptr, WM_COMMAND, MAKEWPARAM(1, BN_SETFOCUS), 0) == TRUE);
  CHECK(plugin.confirmProc(nullptr, WM_COMMAND, MAKEWPARAM(7, 0), 0) == TRUE);
  CHECK(plugin.confirmProc(nullptr, WM_PAINT, 0, 0) == FALSE);

  StartOutcome outcome{};
  WithDialog(
      "OK after focus commands",
      [&](HWND dialog) {
        CheckOwnerAndPlacement(dialog, owner);
        // Focus notifications of the notify-style buttons carry a non-zero code.
        hostkit::SendCommand(dialog, 1, BN_SETFOCUS);
        hostkit::SendCommand(dialog, 2, BN_KILLFOCUS);
        CHECK(StaysOpen(dialog));
        Click(dialog, 1);
        CHECK(Closes(dialog));
      },
      [&] { outcome = RunStart(plugin, owner); });
  CHECK(outcome.result == noErr);
  CHECK(outcome.advanceStateCalls == 3);
  CHECK(outcome.converted);

  // An image without planes asks for nothing, so nothing after the dialog
  // writes the slot: the 0 there is the dialog's, over the host's 1.
  WithDialog("OK on an image without planes", CloseWithOk, [&] { outcome = RunStart(plugin, owner, 0); });
  CHECK(outcome.result == noErr);
  CHECK(outcome.advanceStateCalls == 0);

  struct KeyOrClick {
    const char* step;
    std::function<void(HWND)> act;
    bool converts;
  };
  const KeyOrClick endings[] = {
      {"Cancel button", [](HWND d) { Click(d, 2); }, false},
      {"Escape key", [](HWND d) { PressKey(d, VK_ESCAPE); }, false},
      {"Enter key", [](HWND d) { PressKey(d, VK_RETURN); }, true},
  };
  for (const KeyOrClick& ending : endings) {
    WithDialog(
        ending.step,
        [&](HWND dialog) {
          ending.act(dialog);
          CHECK(Closes(dialog));
        },
        [&] { outcome = RunStart(plugin, owner); });
    CHECK(outcome.result == (ending.converts ? noErr : userCanceledErr));
    CHECK(outcome.advanceStateCalls == (ending.converts ? 3 : 0));
  }
}

// While the confirmation dialog is open, the host window (on the host's
// thread, inside the dialog's modal loop) calls PluginMain with every
// selector: each is refused (with -30100) and shows nothing, and the start
// that owns the dialog then converts as usual.
void ReentryScenario(const Plugin& plugin, HWND owner) {
  std::atomic<bool> nestedDone{false};
  std::atomic<int> nestedCalls{0}, extraDialogs{0};
  gHostWork = [&] {
    HostAbout about{};
    PlatformData platform{owner};
    about.record.platformData = &platform;
    about.record.sSPBasic = BasicSuite();
    for (const int16_t selector : {filterSelectorParameters, filterSelectorPrepare, filterSelectorContinue,
                                   filterSelectorFinish, filterSelectorStart, filterSelectorAbout}) {
      // A refused call writes nothing of its record, not even the members a
      // call may write.
      const bool isAbout = selector == filterSelectorAbout;
      void* record = isAbout ? static_cast<void*>(&about) : gHost->Serving();
      int16_t result = 0x77;
      CallModule(plugin.main, selector, record, isAbout ? sizeof(about) : sizeof(FilterRecord) + kRecordTail, {},
                 gCurrentData, &result);
      // Refused calls say so in their slot, the about call's too.
      CHECK(result == filterBadParameters);
      ++nestedCalls;
    }
    nestedDone = true;
  };
  StartOutcome outcome{};
  WithDialog(
      "nested calls while the confirmation dialog is open",
      [&](HWND dialog) {
        PostMessageA(owner, kRunHostWork, 0, 0);
        // A nested call that opened a dialog of its own (it must not) finds it
        // cancelled, so that the scenario fails instead of hanging.
        for (int waited = 0; !nestedDone && waited < 20000; waited += 50) {
          if (HWND other = hostkit::FindDialog(gHostThread, dialog)) {
            ++extraDialogs;
            hostkit::PostCommand(other, IDCANCEL, 0);
          }
          Sleep(50);
        }
        CHECK(nestedDone);
        CHECK(StaysOpen(dialog));
        Click(dialog, 1);
        CHECK(Closes(dialog));
      },
      [&] { outcome = RunStart(plugin, owner); });
  gHostWork = nullptr;
  CHECK(nestedCalls == 6);
  CHECK(extraDialogs == 0);
  CHECK(outcome.result == noErr);
  CHECK(outcome.advanceStateCalls == 3);
  CHECK(outcome.converted);

  // Calls are taken again once the outer one has returned.
  WithDialog("a start after the nested calls", CloseWithOk, [&] { outcome = RunStart(plugin, owner); });
  CHECK(outcome.result == noErr);
  CHECK(outcome.converted);
}

std::string AboutString(const Plugin& plugin) {
  char text[2048] = {};
  LoadStringA(plugin.module, 16000, text, sizeof(text));
  return text;
}

void AboutScenario(const Plugin& plugin, HWND owner) {
  // No basic suite: the acquisition fails inside the click, and the box stays.
  WithDialog(
      "link click without a basic suite",
      [&](HWND dialog) {
        Click(dialog, 4);
        CHECK(StaysOpen(dialog));
        hostkit::SendChar(dialog, 13);
        CHECK(Closes(dialog));
      },
      [&] { CHECK(RunAbout(plugin, owner, nullptr) == 0x1234); });
  CHECK(BrowsedUrls().empty());
  CHECK(FileListAcquisitions() == 0);

  // The host refuses the suite: nothing opens, and the next click asks again.
  gHost->suites.caps.fileListSuite = false;
  WithDialog(
      "link clicks with the suite refused",
      [&](HWND dialog) {
        Click(dialog, 4);
        Click(dialog, 5);
        CHECK(StaysOpen(dialog));
        SendMessageA(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        CHECK(Closes(dialog));
      },
      [&] { RunAbout(plugin, owner, BasicSuite()); });
  CHECK(BrowsedUrls().empty());
  CHECK(FileListAcquisitions() == 2);
  gHost->suites.caps.fileListSuite = true;
  gHost->Reset();

  const std::string aboutText = AboutString(plugin);
  WithDialog(
      "text, hidden buttons, links, characters",
      [&](HWND dialog) {
        CheckOwnerAndPlacement(dialog, owner);
        CHECK(!aboutText.empty());
        CHECK_TEXT(Text(GetDlgItem(dialog, 3)), aboutText);
        for (int hidden : {1, 2}) {
          CHECK(GetDlgItem(dialog, hidden) != nullptr);
          CHECK(!IsWindowVisible(GetDlgItem(dialog, hidden)));
          CHECK(!IsWindowEnabled(GetDlgItem(dialog, hidden)));
        }
        const std::string second = Text(GetDlgItem(dialog, 5));
        CHECK(!second.empty());
        Click(dialog, 5);
        Click(dialog, 5);
        // A caption whose address would pass 255 characters is cut to fit.
        SetDlgItemTextA(dialog, 4, std::string(255, 'x').c_str());
        Click(dialog, 4);
        SetDlgItemTextA(dialog, 4, "abc");
        Click(dialog, 4);
        const std::vector<std::string> expected{"http://" + second, "http://" + second,
                                                "http://" + std::string(248, 'x'), "http://abc"};
        CHECK(BrowsedUrls() == expected);
        CHECK(FileListAcquisitions() == 1);
        // Other characters are swallowed, and commands of other controls ignored.
        for (WPARAM character : {WPARAM('a'), WPARAM(' '), WPARAM(10), WPARAM(0x141)})
          hostkit::SendChar(dialog, character);
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(3, 0), 0);
        CHECK(StaysOpen(dialog));
        CloseWithEscape(dialog);
        CHECK(Closes(dialog));
      },
      [&] { CHECK(RunAbout(plugin, owner, BasicSuite()) == 0x1234); });

  // The hidden buttons' commands close it, whatever their code.
  for (WORD id : {WORD(1), WORD(2)}) {
    WithDialog(
        id == 1 ? "command 1 with a non-zero code" : "command 2 with a non-zero code",
        [&](HWND dialog) {
          SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_SETFOCUS), 0);
          CHECK(Closes(dialog));
        },
        [&] { RunAbout(plugin, owner, BasicSuite()); });
  }
  CHECK(FileListAcquisitions() == 1);  // still the one acquisition
}

// ---- a call left inside a dialog's modal loop ---------------------------------

// The host leaves a call of the module from inside the dialog's modal loop:
// its window procedure, which the loop runs on the host's thread, longjmps
// out (through msvcrt, unwinding the frames it leaves, as a host built with
// another compiler's longjmp does) past the dialog and PluginMain.
jmp_buf gLeaveDialog;

[[gnu::noinline]] bool LeftFromHostWindow(const std::function<void()>& call) {
  if (setjmp(gLeaveDialog) != 0) return true;
  call();
  return false;
}

// Opens the confirmation dialog or the about box on the host's result slot
// and leaves the call from the host window once the dialog is up; answers
// the dialog left on screen.
HWND LeaveCallInDialog(const Plugin& plugin, HWND owner, bool about, int16_t* slot) {
  HWND left = nullptr;
  bool wasLeft = false;
  gHostWork = [] { longjmp(gLeaveDialog, 1); };
  std::vector<unsigned char> storage(sizeof(FilterRecord) + kRecordTail, 0);
  auto* record = reinterpret_cast<FilterRecord*>(storage.data());
  PlatformData platform{owner};
  HostAbout aboutRecord{};
  aboutRecord.record.platformData = &platform;
  aboutRecord.record.sSPBasic = BasicSuite();
  record->platformData = &platform;
  record->handleProcs = gHost->Procs();
  record->sSPBasic = BasicSuite();
  record->parameters = NewHandle(1);
  intptr_t data = reinterpret_cast<intptr_t>(NewHandle(1));
  WithDialog(
      about ? "the about box left by the host" : "the confirmation dialog left by the host",
      [&](HWND dialog) {
        left = dialog;
        PostMessageA(owner, kRunHostWork, 0, 0);
      },
      [&] {
        *slot = 0;
        wasLeft = LeftFromHostWindow([&] {
          if (about)
            plugin.main(filterSelectorAbout, &aboutRecord, &data, slot);
          else
            plugin.main(filterSelectorStart, record, &data, slot);
        });
      });
  gHostWork = nullptr;
  CHECK(wasLeft);
  // The host gives back the locks of the call it left, and its handles.
  if (!about) {
    UnlockHandle(record->parameters);
    UnlockHandle(reinterpret_cast<Handle>(data));
  }
  DisposeHandle(record->parameters);
  DisposeHandle(reinterpret_cast<Handle>(data));
  return left;
}

// Key presses, clicks, commands and a broadcast, to where the dialog was
// (or is), then the host's loop runs what was posted.
void MessagesTo(HWND dialog) {
  SendMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  SendMessageA(dialog, WM_CHAR, 27, 0);
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  SendMessageA(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  PostMessageA(dialog, WM_CHAR, 13, 0);
  DWORD_PTR answer = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer);
  const ULONGLONG until = GetTickCount64() + 300;
  MSG msg;
  while (GetTickCount64() < until) {
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    Sleep(10);
  }
}

// A host that leaves a call from inside the confirmation dialog's or the
// about box's modal loop finds the dialog still up and its window disabled.
// Calling again on the same slot, it gets a served call: the dialog left
// behind goes, its window is enabled again, and the new dialog opens and
// answers. Unloaded after that, the module leaves nothing that messages to
// where the dialog was could run. Unloaded with the dialog still up (the host
// did not call again), the dialog stays, inert: messages to it run none of
// the module's code, which is gone.
void LeftOpenScenario(const std::string& dll, HWND owner) {
  for (const bool about : {false, true}) {
    int16_t slot = 0;
    {
      const Plugin plugin = LoadPlugin(dll);
      const HWND left = LeaveCallInDialog(plugin, owner, about, &slot);
      gStep = about ? "about box left open" : "confirmation dialog left open";
      CHECK(left != nullptr && IsWindow(left));
      CHECK(!IsWindowEnabled(owner));
      gStep = about ? "an about call after the one left" : "a start after the one left";
      StartOutcome outcome{};
      std::thread driver([&] {
        HWND next = nullptr;
        for (int waited = 0; next == nullptr && waited < 10000; waited += 20) {
          next = hostkit::FindDialog(gHostThread, left);
          if (next == nullptr) Sleep(20);
        }
        CHECK(next != nullptr);
        if (next != nullptr) {
          CHECK(!IsWindow(left));
          about ? CloseWithEscape(next) : CloseWithOk(next);
          CHECK(Closes(next));
        }
      });
      if (about) {
        CHECK(RunAbout(plugin, owner, BasicSuite()) == 0x1234);
      } else {
        outcome = RunStart(plugin, owner, 3, &slot);
        CHECK(slot == noErr);
        CHECK(outcome.converted);
      }
      driver.join();
      CHECK(!IsWindow(left));
      CHECK(IsWindowEnabled(owner));
      CHECK(hostkit::FindDialog(gHostThread) == nullptr);
      FreeLibrary(plugin.module);
      gStep = "messages to where the dialog was, after unload";
      MessagesTo(left);
    }
    {
      const Plugin plugin = LoadPlugin(dll);
      const HWND left = LeaveCallInDialog(plugin, owner, about, &slot);
      gStep = "unload with the dialog left open";
      CHECK(left != nullptr && IsWindow(left));
      FreeLibrary(plugin.module);
      CHECK(IsWindow(left));
      CHECK(GetWindowLongPtrA(left, DWLP_DLGPROC) == 0);
      gStep = "messages to the dialog left open, after unload";
      MessagesTo(left);
      // The host tidies up its window itself.
      EnableWindow(owner, TRUE);
      DestroyWindow(left);
    }
  }
}

// A copy of the module whose about text is 300 characters long.
std::string CopyWithLongAboutText(const std::string& dll, std::string* longText) {
  char folder[MAX_PATH] = {};
  char copy[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "pxm", 0, copy);
  if (!CopyFileA(WindowsPath(dll).c_str(), copy, FALSE)) return {};
  longText->clear();
  for (int i = 0; longText->size() < 300; ++i) *longText += char('A' + i % 26);
  // String block 1001 holds ids 16000 to 16015; 16000 is its first entry,
  // stored as a count and UTF-16 units; the other fifteen stay empty.
  std::vector<WCHAR> block{static_cast<WCHAR>(longText->size())};
  for (char c : *longText) block.push_back(static_cast<WCHAR>(c));
  block.resize(block.size() + 15, 0);
  HANDLE update = BeginUpdateResourceA(copy, FALSE);
  if (update == nullptr) return {};
  const bool stored = UpdateResourceA(update, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(1001), 1033, block.data(),
                                      static_cast<DWORD>(block.size() * sizeof(WCHAR)));
  if (!EndUpdateResourceA(update, !stored) || !stored) return {};
  return copy;
}

void AboutLongTextScenario(const std::string& dll, HWND owner) {
  gStep = "rewriting the about text";
  std::string longText;
  const std::string copy = CopyWithLongAboutText(dll, &longText);
  CHECK(!copy.empty());
  if (copy.empty()) return;
  {
    const Plugin plugin = LoadPlugin(copy);
    CHECK(AboutString(plugin) == longText);  // the copy really carries the long text
    WithDialog(
        "about text cut to 254 characters",
        [&](HWND dialog) {
          CHECK_TEXT(Text(GetDlgItem(dialog, 3)), longText.substr(0, 254));
          CloseWithEscape(dialog);
          CHECK(Closes(dialog));
        },
        [&] { RunAbout(plugin, owner, BasicSuite()); });
    FreeLibrary(plugin.module);
  }
  DeleteFileA(copy.c_str());
}

// The module's own import of QueryActCtxW, replaced so that its calls can be
// counted and the first one made to fail.
using QueryActCtxWProc = BOOL(WINAPI*)(DWORD, HANDLE, PVOID, ULONG, PVOID, SIZE_T, SIZE_T*);
QueryActCtxWProc gRealQueryActCtxW = nullptr;
std::atomic<int> gContextQueries{0};

BOOL WINAPI CountingQueryActCtxW(DWORD flags, HANDLE context, PVOID subInstance, ULONG infoClass, PVOID buffer,
                                 SIZE_T size, SIZE_T* written) {
  if (++gContextQueries == 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return gRealQueryActCtxW(flags, context, subInstance, infoClass, buffer, size, written);
}

bool PatchImport(HMODULE module, const char* library, const char* function, void* replacement, void** original) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name != 0;
       ++entry) {
    if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), library) != 0) continue;
    const DWORD namesAt = entry->OriginalFirstThunk != 0 ? entry->OriginalFirstThunk : entry->FirstThunk;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + namesAt);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      DWORD protection = 0;
      VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection);
      *original = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
      return true;
    }
  }
  return false;
}

void ContextSearchScenario(const Plugin& plugin, HWND owner) {
  gStep = "patching QueryActCtxW";
  void* original = nullptr;
  CHECK(PatchImport(plugin.module, "kernel32.dll", "QueryActCtxW", reinterpret_cast<void*>(CountingQueryActCtxW),
                    &original));
  gRealQueryActCtxW = reinterpret_cast<QueryActCtxWProc>(original);
  if (gRealQueryActCtxW == nullptr) return;

  // A failed search shows no dialog: the start is cancelled, nothing converted.
  gStep = "first search fails";
  StartOutcome outcome = RunStart(plugin, owner);
  CHECK(outcome.result == userCanceledErr);
  CHECK(outcome.advanceStateCalls == 0);
  CHECK(gContextQueries == 1);

  // The next dialog searches again; after that, no dialog searches.
  WithDialog("second start searches again", CloseWithOk, [&] { outcome = RunStart(plugin, owner); });
  CHECK(outcome.result == noErr);
  CHECK(gContextQueries == 2);

  WithDialog("about box skips the search", CloseWithEscape, [&] { RunAbout(plugin, owner, BasicSuite()); });
  WithDialog("third start skips the search", CloseWithOk, [&] { outcome = RunStart(plugin, owner); });
  CHECK(outcome.result == noErr);
  CHECK(gContextQueries == 2);
}

// A 24-bit bitmap file of the screen under the window, with a margin.
bool SaveScreenshot(HWND window, const std::string& path) {
  constexpr int kMargin = 12;
  RECT r{};
  GetWindowRect(window, &r);
  const int width = r.right - r.left + 2 * kMargin;
  const int height = r.bottom - r.top + 2 * kMargin;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left - kMargin, r.top - kMargin, SRCCOPY);
  SelectObject(memory, previous);

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
  std::vector<unsigned char> pixels(stride * size_t(height));
  const int rows = GetDIBits(memory, bitmap, 0, UINT(height), pixels.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) return false;

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
  file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  std::fwrite(&file, sizeof(file), 1, out);
  std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out);
  std::fwrite(pixels.data(), 1, pixels.size(), out);
  return std::fclose(out) == 0;
}

void ScreenshotScenario(const Plugin& plugin, HWND owner, const std::string& folder) {
  const auto shoot = [&](const char* name, void (*close)(HWND)) {
    return [&, name, close](HWND dialog) {
      Sleep(1000);  // let it paint
      CHECK(SaveScreenshot(dialog, WindowsPath(folder) + "\\" + name));
      close(dialog);
    };
  };
  WithDialog("confirmation dialog screenshot", shoot("confirm-dialog.bmp", [](HWND d) { Click(d, 2); }),
             [&] { RunStart(plugin, owner); });
  WithDialog("about box screenshot", shoot("about-box.bmp", CloseWithEscape),
             [&] { RunAbout(plugin, owner, BasicSuite()); });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: %s confirm|about|about-long-text|context-search|reentry|left-open|screenshot <Pixelmoor.8bf> "
                 "[folder]\n",
                 argv[0]);
    return 2;
  }
  const std::string scenario = argv[1];
  const std::string dll = argv[2];
  gHostThread = GetCurrentThreadId();
  HWND owner = CreateOwnerWindow();
  gOwner = owner;
  Host host;  // outlives the module, which gives back its suites when unloaded
  gHost = &host;

  if (scenario == "about-long-text") {
    AboutLongTextScenario(dll, owner);
  } else if (scenario == "left-open") {
    LeftOpenScenario(dll, owner);
  } else {
    const Plugin plugin = LoadPlugin(dll);
    if (scenario == "confirm")
      ConfirmScenario(plugin, owner);
    else if (scenario == "about")
      AboutScenario(plugin, owner);
    else if (scenario == "context-search")
      ContextSearchScenario(plugin, owner);
    else if (scenario == "reentry")
      ReentryScenario(plugin, owner);
    else if (scenario == "screenshot" && argc > 3)
      ScreenshotScenario(plugin, owner, argv[3]);
    else {
      std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
      return 2;
    }
    FreeLibrary(plugin.module);
  }
  // Any misuse fails the scenario: the first is where a chain of faults
  // starts, so it is named with the call that made it.
  host.suites.Check("module unload");
  if (host.ReportMisuse(stderr)) ++gFailures;
  DestroyWindow(owner);
  std::printf("%s: %s\n", scenario.c_str(), gFailures == 0 ? "passed" : "FAILED");
  return gFailures == 0 ? 0 : 1;
}
