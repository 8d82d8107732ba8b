// The confirmation dialog and the about box: modal dialogs from the module's
// templates, run on the host's thread under the module's activation context.
#include <windows.h>

#include <cstdio>
#include <iterator>

#include "host/HostSuite.h"
#include "host/PluginInstance.h"
#include "resources/Identifiers.h"
#include "ui/DialogRunner_win.h"
#include "ui/Dialogs.h"
#include "ui/Placement.h"

extern "C" INT_PTR CALLBACK tarnwickPixelmoorProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

// Established at the first dialog of the process and kept for the module's
// lifetime; null is a valid established value (the process default context).
HANDLE gModuleActivationContext = INVALID_HANDLE_VALUE;

// Any address inside the module identifies it to the loader.
const int kAddressInsideModule = 0;

// A manifest the module could carry for a context of its own when the loader
// gave it none; ours carries none, so this falls back to the process default.
constexpr WORD kNoStaticImportManifest = 3;

HINSTANCE PluginInstance() { return static_cast<HINSTANCE>(GetPluginInstance()); }

HWND HostWindow(const PlatformData* platform) {
  // A host that passes no platform record gets a dialog over the desktop.
  return platform != nullptr ? static_cast<HWND>(platform->hwnd) : nullptr;
}

// Activation is paired with deactivation on every path out.
class ActivationScope {
 public:
  explicit ActivationScope(HANDLE context) : active_(ActivateActCtx(context, &cookie_) != FALSE) {}
  ~ActivationScope() {
    if (active_) DeactivateActCtx(0, cookie_);
  }
  ActivationScope(const ActivationScope&) = delete;
  ActivationScope& operator=(const ActivationScope&) = delete;
  bool Active() const { return active_; }

 private:
  ULONG_PTR cookie_ = 0;
  bool active_;
};

// The context that the loader built for this module from its manifest, or
// null when it built none.
bool QueryModuleContext(HANDLE* context) {
  ACTIVATION_CONTEXT_BASIC_INFORMATION info{};
  if (!QueryActCtxW(QUERY_ACTCTX_FLAG_NO_ADDREF | QUERY_ACTCTX_FLAG_ACTCTX_IS_ADDRESS,
                    const_cast<int*>(&kAddressInsideModule), nullptr, ActivationContextBasicInformation,
                    &info, sizeof(info), nullptr))
    return false;
  *context = info.hActCtx;
  return true;
}

// A context from the module's fallback manifest; null when the module has
// none, which is not a failure.
bool CreateFallbackContext(HANDLE* context) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&kAddressInsideModule), &module))
    return false;

  WCHAR path[MAX_PATH + 2];
  constexpr DWORD kOffered = MAX_PATH + 1;
  path[MAX_PATH] = path[MAX_PATH + 1] = 0;
  const DWORD length = GetModuleFileNameW(module, path, kOffered);
  if (length == 0) return false;
  // Older systems fill the whole buffer without a terminator, newer ones cut
  // the path and report the full size: either way the path is not whole.
  if (path[MAX_PATH] != 0 || length >= kOffered) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return false;
  }

  ACTCTXW request{};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
  request.lpSource = path;
  request.lpResourceName = MAKEINTRESOURCEW(kNoStaticImportManifest);
  request.hModule = module;
  const HANDLE created = CreateActCtxW(&request);
  if (created != INVALID_HANDLE_VALUE) {
    *context = created;
    return true;
  }
  switch (GetLastError()) {
    case ERROR_RESOURCE_DATA_NOT_FOUND:
    case ERROR_RESOURCE_TYPE_NOT_FOUND:
    case ERROR_RESOURCE_NAME_NOT_FOUND:
    case ERROR_RESOURCE_LANG_NOT_FOUND:
      *context = nullptr;
      return true;
    default:
      return false;
  }
}

// A context that redirects the common controls wants that version loaded
// while it is active, before any dialog asks for their classes.
void LoadRedirectedCommonControls(HANDLE context) {
  ActivationScope scope(context);
  if (!scope.Active()) return;
  ACTCTX_SECTION_KEYED_DATA keyed{};
  keyed.cbSize = sizeof(keyed);
  if (FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, L"Comctl32.dll", &keyed))
    LoadLibraryW(L"Comctl32.dll");  // held for the process; a failure is harmless
}

// ---- about box ------------------------------------------------------------

void InitAboutBox(HWND dialog) {
  CenterOnParent(dialog);
  char text[256] = {};
  // One short of the buffer: at most 254 characters and the terminator.
  LoadStringA(PluginInstance(), PIXELMOOR_ABOUT_TEXT_ID, text, static_cast<int>(std::size(text)) - 1);
  SetDlgItemTextA(dialog, PIXELMOOR_ABOUT_TEXT_ITEM, text);
}

using BrowseUrlProc = SPErr (*)(const char* url);

// The host's web-browsing entry, or null when the host cannot give it. The
// acquisition error stops here: it must never unwind into the system's
// dialog dispatch or the host.
BrowseUrlProc HostBrowseUrl() {
  try {
    const auto* suite = static_cast<const PSGetFileListSuite4*>(gFileListSuite.GetSuite());
    return suite != nullptr ? suite->BrowseUrl : nullptr;
  } catch (...) {
    return nullptr;
  }
}

// Opens "http://" and the button's caption through the host; the box stays
// open. Without the host's file-list suite nothing opens.
void OpenLink(HWND dialog, int item) {
  char caption[256] = {};
  char address[256] = {};
  GetDlgItemTextA(dialog, item, caption, static_cast<int>(std::size(caption)));
  // A caption beyond 248 characters is cut, never written past the buffer.
  std::snprintf(address, std::size(address), "http://%s", caption);
  if (BrowseUrlProc browse = HostBrowseUrl()) browse(address);
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      InitAboutBox(dialog);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
        case PIXELMOOR_FIRST_LINK_ITEM:
        case PIXELMOOR_SECOND_LINK_ITEM:
          OpenLink(dialog, LOWORD(wParam));
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CHAR: {
      const auto character = static_cast<unsigned char>(wParam & 0xFF);
      if (character == 27 || character == 13) EndDialog(dialog, 0);
      return TRUE;
    }
    case WM_LBUTTONDOWN:
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

BOOL CenterOnParent(HWND dialog) {
  HWND owner = GetParent(dialog);
  if (owner == nullptr) owner = GetDesktopWindow();

  RECT client{};
  GetClientRect(owner, &client);
  POINT topLeft{client.left, client.top};
  POINT bottomRight{client.right, client.bottom};
  ClientToScreen(owner, &topLeft);
  ClientToScreen(owner, &bottomRight);

  RECT window{};
  GetWindowRect(dialog, &window);
  const PlacementInput in{topLeft.x,
                          topLeft.y,
                          bottomRight.x,
                          bottomRight.y,
                          window.right - window.left,
                          window.bottom - window.top,
                          (GetWindowLongA(dialog, GWL_STYLE) & WS_SYSMENU) != 0,
                          GetSystemMetrics(SM_CXSIZE),
                          GetSystemMetrics(SM_CXSCREEN),
                          GetSystemMetrics(SM_CYSCREEN)};
  const PlacementPoint at = ComputeDialogPlacement(in);
  return SetWindowPos(dialog, nullptr, at.x, at.y, in.dialogWidth, in.dialogHeight, SWP_NOZORDER);
}

BOOL EnsureIsolationContext() {
  if (gModuleActivationContext != INVALID_HANDLE_VALUE) return TRUE;

  HANDLE context = nullptr;
  if (!QueryModuleContext(&context)) return FALSE;
  if (context == nullptr && !CreateFallbackContext(&context)) return FALSE;

  // Established from here on, whatever the common-controls step does.
  gModuleActivationContext = context;
  LoadRedirectedCommonControls(context);
  return TRUE;
}

INT_PTR IsolatedDialogBox(HINSTANCE instance, LPCSTR dialogTemplate, HWND parent, DLGPROC procedure,
                          LPARAM parameter) {
  if (!EnsureIsolationContext()) return -1;
  INT_PTR result = -1;
  DWORD dialogError = 0;
  {
    ActivationScope scope(gModuleActivationContext);
    if (!scope.Active()) return -1;
    result = DialogBoxParamA(instance, dialogTemplate, parent, procedure, parameter);
    if (result == -1) dialogError = GetLastError();
  }
  // The caller sees why the dialog failed, not what the deactivation left.
  if (result == -1) SetLastError(dialogError);
  return result;
}

bool ShowConfirmDialog(const FilterRecord* record) {
  const INT_PTR result = IsolatedDialogBox(PluginInstance(), PIXELMOOR_TEXT_OF(PIXELMOOR_CONFIRM_DIALOG),
                                           HostWindow(record->platformData), tarnwickPixelmoorProc, 0);
  return result == IDOK;
}

intptr_t ShowAboutBox(const AboutRecord* about) {
  const PlatformData* platform = about != nullptr ? about->platformData : nullptr;
  return IsolatedDialogBox(PluginInstance(), MAKEINTRESOURCEA(PIXELMOOR_ABOUT_DIALOG_ID), HostWindow(platform),
                           AboutDialogProc, 0);
}

extern "C" INT_PTR CALLBACK tarnwickPixelmoorProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      CenterOnParent(dialog);
      // The template decides the focus; the system is not asked to set it.
      return FALSE;
    case WM_COMMAND: {
      const WORD id = LOWORD(wParam);
      // Focus changes of the notify-style buttons arrive as commands with a
      // non-zero code; only a click (code 0) answers.
      if ((id == IDOK || id == IDCANCEL) && HIWORD(wParam) == 0) EndDialog(dialog, id);
      return TRUE;
    }
    default:
      return FALSE;
  }
}
