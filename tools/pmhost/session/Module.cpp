#include "Module.h"

#include <cstdio>

#include "Console.h"
#include "ExitCodes.h"
#include "Isolation.h"

namespace {

BOOL CALLBACK CollectPipl(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param) {
  auto* list = reinterpret_cast<std::vector<PiplResource>*>(param);
  PiplResource r{IS_INTRESOURCE(name) ? static_cast<int>(reinterpret_cast<uintptr_t>(name)) : -1, {}, {}};
  HRSRC found = FindResourceA(module, name, type);
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) r.error = "cannot load the resource";
  else ParsePipl(static_cast<const uint8_t*>(data), SizeofResource(module, found), r.info, r.error);
  r.info.resourceId = r.id;
  list->push_back(r);
  return TRUE;
}

int64_t gFixedClock = 0;

int64_t __cdecl FixedTime64(int64_t* out) {
  if (out != nullptr) *out = gFixedClock;
  return gFixedClock;
}
int32_t __cdecl FixedTime32(int32_t* out) {
  const auto now = static_cast<int32_t>(gFixedClock);
  if (out != nullptr) *out = now;
  return now;
}

}  // namespace

bool FixModuleClock(HMODULE module, int64_t seconds) {
  gFixedClock = seconds;
  auto* base = reinterpret_cast<uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return false;
  int patched = 0;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      const std::string name = reinterpret_cast<const char*>(byName->Name);
      void* replacement = name == "_time64" || name == "time" ? reinterpret_cast<void*>(FixedTime64)
                          : name == "_time32"                ? reinterpret_cast<void*>(FixedTime32)
                                                             : nullptr;
      if (replacement == nullptr) continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) return false;
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      ++patched;
    }
  }
  return patched > 0;
}

std::vector<PiplResource> ReadPipls(HMODULE module) {
  std::vector<PiplResource> list;
  EnumResourceNamesA(module, "PIPL", CollectPipl, reinterpret_cast<LONG_PTR>(&list));
  return list;
}

int LoadFilterModule(const std::string& path, const std::string& entryName, int32_t piplId, FilterModule& module) {
  // Loading runs the module's own start-up code: under the deadline too.
  ArmTimeout();
  module.handle = LoadLibraryA(path.c_str());
  DisarmTimeout();
  if (module.handle == nullptr) {
    std::fprintf(stderr, "pmhost: cannot load %s (error %lu)\n", path.c_str(), GetLastError());
    return kExitHostError;
  }
  for (const auto& p : ReadPipls(module.handle)) {
    if (piplId >= 0 && p.id != piplId) continue;
    if (!p.error.empty()) {
      std::fprintf(stderr, "pmhost: property list %d: %s\n", p.id, p.error.c_str());
      return kExitRefused;
    }
    if (p.info.kind != kFilterKind) continue;
    module.pipl = p.info;
    module.havePipl = true;
    break;
  }
  if (module.havePipl) {
    Say("pmhost: filter \"%s\" in \"%s\", property list %d, entry %s\n", module.pipl.name.c_str(),
        module.pipl.category.c_str(), module.pipl.resourceId, module.pipl.entryPoint.empty() ? "(none)" : module.pipl.entryPoint.c_str());
  } else if (entryName.empty()) {
    std::fprintf(stderr, "pmhost: %s has no filter property list (resource type \"PIPL\", kind '8BFM')%s\n",
                 path.c_str(), piplId >= 0 ? " with that id" : "");
    return kExitRefused;
  }
  if (!entryName.empty()) {
    Say("pmhost: calling %s as asked%s\n", entryName.c_str(), module.havePipl ? "" : ", without a property list");
  } else if (module.pipl.entryPoint.empty()) {
    std::fprintf(stderr, "pmhost: the property list names no entry point for this machine ('%s')\n", kEntryPointKey);
    return kExitRefused;
  }
  const std::string entryToCall = entryName.empty() ? module.pipl.entryPoint : entryName;
  module.entry =
      reinterpret_cast<PluginEntry>(reinterpret_cast<void*>(GetProcAddress(module.handle, entryToCall.c_str())));
  if (module.entry == nullptr) {
    std::fprintf(stderr, "pmhost: %s exports no %s\n", path.c_str(), entryToCall.c_str());
    return kExitRefused;
  }
  return kExitOk;
}

bool IsEnabled(const PiplInfo& pipl, const PlanarImage& image, std::string& why) {
  DocumentFacts doc;
  const bool gray = image.Channels() <= 2;
  doc.mode = image.depth == 16 ? (gray ? 10 : 11) : (gray ? 1 : 3);
  doc.depth = image.depth;
  doc.width = image.width;
  doc.height = image.height;
  doc.channels = image.Channels();
  const std::string what = ModeName(doc.mode) + ", " + std::to_string(doc.depth) + " bits per channel";
  if (pipl.hasEnable) {
    bool enabled = false;
    std::string error;
    if (!EvaluateEnable(pipl.enableExpression, doc, enabled, error)) {
      why = "cannot read the enable expression \"" + pipl.enableExpression + "\": " + error;
      return false;
    }
    if (!enabled) {
      why = "the filter is not enabled for this document (" + what + "): its enable expression is \"" +
            pipl.enableExpression + "\"";
      return false;
    }
  } else if (pipl.hasModes && !ModeFlagsAllow(pipl.modeFlags, doc.mode)) {
    why = "the filter is not enabled for this document (" + what + "): its mode flags exclude it";
    return false;
  }
  if ((pipl.maxWidth > 0 && image.width > pipl.maxWidth) || (pipl.maxHeight > 0 && image.height > pipl.maxHeight)) {
    why = "the image is larger than the filter's limit of " + std::to_string(pipl.maxWidth) + " x " +
          std::to_string(pipl.maxHeight);
    return false;
  }
  return true;
}
