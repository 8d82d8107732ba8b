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

}  // namespace

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
    std::fprintf(stderr, "pmhost: the property list names no entry point for 64-bit Windows ('8664')\n");
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
