// The module's activation context: found (or made) once per process, and
// active around each of the module's dialogs, so that their window classes
// resolve through the module's own manifest and not the host's.
#include "ui/ActivationContext_win.h"

#include "ui/DialogWindow_win.h"

namespace {

// Established at the first dialog of the process and kept for the module's
// lifetime; null is a valid established value (the process default context).
HANDLE gModuleActivationContext = INVALID_HANDLE_VALUE;

// Any address inside the module identifies it to the loader.
const int kAddressInsideModule = 0;

// A manifest the module could carry for a context of its own when the loader
// gave it none; ours carries none, so this falls back to the process default.
constexpr WORD kNoStaticImportManifest = 3;

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

}  // namespace

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
    BeginModalDialog(parent);
    result = DialogBoxParamA(instance, dialogTemplate, parent, procedure, parameter);
    if (result == -1) dialogError = GetLastError();
    EndModalDialog();
  }
  // The caller sees why the dialog failed, not what the deactivation left.
  if (result == -1) SetLastError(dialogError);
  return result;
}
