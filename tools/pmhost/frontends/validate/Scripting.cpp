#include "Scripting.h"

#include <windows.h>

#include <map>

#include "Descriptors.h"
#include "Drive.h"
#include "StaticChecks.h"

namespace {

// A module's declared scripting terminology: the parameters of its event.
struct Terminology {
  bool present = false;
  std::map<uint32_t, std::pair<uint32_t, bool>> parameters;  // key -> (type, optional)
};

std::string CodeText(uint32_t code) {
  std::string t = "'";
  for (int shift = 24; shift >= 0; shift -= 8) t += static_cast<char>((code >> shift) & 0xFF);
  return t + "'";
}

// Reads the terminology resource that 'hstm' names, and in it the event with
// the class and ID that 'hstm' gives. False with `error` when it cannot be read.
bool ReadTerminology(const std::string& path, Terminology& t, std::string& error) {
  HMODULE m = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  std::string hstm;
  if (m == nullptr || !FindFilterProperty(m, "hstm", hstm)) {
    if (m != nullptr) FreeLibrary(m);
    return true;  // none declared
  }
  struct Reader {
    const uint8_t* p;
    size_t size, at = 0;
    bool ok = true;
    uint32_t U(size_t n) {
      uint32_t v = 0;
      if (at + n > size) ok = false;
      for (size_t i = 0; ok && i < n; ++i) v |= uint32_t(p[at + i]) << (8 * i);
      at += n;
      return v;
    }
    void Text() { at += at < size ? 1 + p[at] : 1; }
  };
  const auto h = reinterpret_cast<const uint8_t*>(hstm.data());
  Reader head{h, hstm.size()};
  head.U(4);
  const uint32_t eventClass = head.U(4), eventId = head.U(4);
  const int id = int16_t(head.U(2));
  HRSRC found = head.ok ? FindResourceA(m, MAKEINTRESOURCEA(id), "AETE") : nullptr;
  HGLOBAL loaded = found != nullptr ? LoadResource(m, found) : nullptr;
  const auto* data = static_cast<const uint8_t*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  if (data == nullptr) {
    FreeLibrary(m);
    error = "'hstm' names terminology resource " + std::to_string(id) + ", which is missing";
    return false;
  }
  Reader r{data, SizeofResource(m, found)};
  r.U(2);  // leading word
  r.U(6);  // format version, language, script
  const uint32_t suites = r.U(2);
  bool foundEvent = false;
  for (uint32_t s = 0; r.ok && s < suites && !foundEvent; ++s) {
    r.Text(), r.Text(), r.U(4), r.U(4);
    const uint32_t events = r.U(2);
    for (uint32_t e = 0; r.ok && e < events && !foundEvent; ++e) {
      r.Text(), r.Text();
      const uint32_t cls = r.U(4), ev = r.U(4);
      r.U(4), r.Text(), r.U(2), r.U(4), r.Text(), r.U(2);  // reply and direct parameter
      const uint32_t count = r.U(2);
      foundEvent = cls == eventClass && ev == eventId;
      for (uint32_t i = 0; r.ok && i < count; ++i) {
        r.Text();
        const uint32_t key = r.U(4), type = r.U(4);
        r.Text();
        const uint32_t flags = r.U(2);
        if (foundEvent) t.parameters[key] = {type, (flags & 0x8000) != 0};
      }
    }
  }
  FreeLibrary(m);
  if (!r.ok) error = "the terminology resource ends early";
  else if (!foundEvent) error = "the terminology declares no event " + CodeText(eventClass) + " " + CodeText(eventId);
  t.present = r.ok && foundEvent;
  return t.present;
}

// Every recorded key declared, with its type. (A declared parameter may be
// left out: a module may record only what differs from its defaults.)
std::string Mismatch(const Descriptor& d, const Terminology& t) {
  for (const auto& [key, value] : d.items) {
    const auto it = t.parameters.find(key);
    if (it == t.parameters.end()) return "records " + CodeText(key) + ", which the terminology does not declare";
    if (it->second.first != uint32_t(value.type))
      return "records " + CodeText(key) + " as " + CodeText(uint32_t(value.type)) + ", declared as " + CodeText(it->second.first);
  }
  return {};
}

bool ParseRecorded(const std::string& bytes, Descriptor& d) {
  std::string error;
  return ParseDescriptor(bytes, d, error);
}

}  // namespace

CaseResult RunScriptRecord(const std::string& module, const PiplInfo&, const Scenario&, int) {
  Setup setup;
  setup.image = Pattern(24, 16, 8, 3);
  const Observed o = Drive(module, std::move(setup));
  if (!o.loadError.empty()) return {Outcome::kFail, o.loadError, 0};
  if (o.misuses > 0) return {Outcome::kFail, "misuse: " + o.firstMisuse, 0};
  if (o.outcome.result != noErr) return {Outcome::kFail, o.outcome.failedSelector + " returned " + ResultName(o.outcome.result), 0};
  if (o.outcome.recordedDescriptor.empty()) return {Outcome::kPass, "the module records nothing for scripting", 0};
  Descriptor d;
  if (!ParseRecorded(o.outcome.recordedDescriptor, d)) return {Outcome::kFail, "the recorded descriptor cannot be read", 0};
  if (o.outcome.recordInfo < 0 || o.outcome.recordInfo > 2)
    return {Outcome::kFail, "recordInfo " + std::to_string(o.outcome.recordInfo) + " is none of optional (0), required (1), none (2)", 0};
  Terminology t;
  std::string error;
  if (!ReadTerminology(module, t, error)) return {Outcome::kFail, error, 0};
  if (!t.present) return {Outcome::kFail, "records " + DescribeDescriptor(d) + " but declares no terminology ('hstm')", 0};
  const std::string wrong = Mismatch(d, t);
  if (!wrong.empty()) return {Outcome::kFail, wrong, 0};
  return {Outcome::kPass, "records " + DescribeDescriptor(d) + ", recordInfo " + std::to_string(o.outcome.recordInfo) + ", as declared", 0};
}

CaseResult RunScriptPlayback(const std::string& module, const PiplInfo&, const Scenario& s, int) {
  Setup setup;
  setup.image = Pattern(24, 16, 8, 3);
  setup.replay = true;
  setup.run.playInfo = static_cast<int16_t>(s.param);
  const Observed o = Drive(module, std::move(setup));
  if (!o.loadError.empty()) return {Outcome::kFail, o.loadError, 0};
  if (o.misuses > 0) return {Outcome::kFail, "misuse: " + o.firstMisuse, 0};
  for (const RunOutcome* run : {&o.recorded, &o.outcome})
    if (run->result != noErr)
      return {Outcome::kFail, std::string(run == &o.recorded ? "recording: " : "playback: ") + run->failedSelector +
                                  " returned " + ResultName(run->result), 0};
  if (o.recorded.recordedDescriptor.empty()) return {Outcome::kSkip, "the module records nothing to play back", 0};
  Descriptor handed, back;
  ParseRecorded(o.recorded.recordedDescriptor, handed);
  if (!ParseRecorded(o.outcome.recordedDescriptor, back))
    return {Outcome::kFail, "handed " + DescribeDescriptor(handed) + ", the module gave back no descriptor", 0};
  if (DescribeDescriptor(back) != DescribeDescriptor(handed))
    return {Outcome::kFail, "handed " + DescribeDescriptor(handed) + ", given back " + DescribeDescriptor(back), 0};
  std::string detail = "handed and given back " + DescribeDescriptor(back) + "; " + std::to_string(o.replayDialogs) + " dialog(s)";
  if (s.param == 2 && o.replayDialogs > 0) detail += " although the host asked for none (a note: playInfo is the module's to honour)";
  return {Outcome::kPass, detail, 0};
}
