#include "Pipl.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

uint32_t ReadLE32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint32_t Code(const char (&c)[5]) {
  return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 | uint32_t(uint8_t(c[2])) << 8 |
         uint32_t(uint8_t(c[3]));
}

struct ModeNameEntry {
  const char* name;
  int32_t mode;
};
// The names the enable expressions use for the document's colour modes.
constexpr ModeNameEntry kModeNames[] = {
    {"BitmapMode", 0},       {"GrayScaleMode", 1},   {"IndexedMode", 2},       {"RGBMode", 3},
    {"CMYKMode", 4},         {"HSLMode", 5},         {"HSBMode", 6},           {"MultichannelMode", 7},
    {"DuotoneMode", 8},      {"LabMode", 9},         {"Gray16Mode", 10},       {"RGB48Mode", 11},
    {"Lab48Mode", 12},       {"CMYK64Mode", 13},     {"DeepMultichannelMode", 14},
    {"Duotone16Mode", 15},   {"RGB96Mode", 16},      {"Gray32Mode", 17},
};

std::string PascalString(const uint8_t* data, size_t size) {
  if (size == 0) return {};
  const size_t n = data[0];
  return std::string(reinterpret_cast<const char*>(data) + 1, n < size ? n : size - 1);
}

std::string CString(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
}

// A small recursive-descent reader of the host's expression language:
// in (x, a, b, ...), ||, &&, !, ==, !=, <, <=, >, >=, parentheses, integers,
// true/false and the document's PSHOP_ names.
class ExpressionReader {
 public:
  ExpressionReader(const std::string& text, const DocumentFacts& doc) : text_(text), doc_(doc) {}

  bool Evaluate(bool& result, std::string& error) {
    Next();
    const int64_t v = Or();
    if (error_.empty() && token_ != End) Fail("unexpected text at \"" + text_.substr(start_) + "\"");
    if (!error_.empty()) {
      error = error_;
      return false;
    }
    result = v != 0;
    return true;
  }

 private:
  enum Token { End, Number, Name, OrOp, AndOp, Not, Eq, Ne, Lt, Le, Gt, Ge, LParen, RParen, Comma, Bad };

  void Fail(const std::string& message) {
    if (error_.empty()) error_ = message;
    token_ = End;
  }

  void Next() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    start_ = pos_;
    if (pos_ >= text_.size()) {
      token_ = End;
      return;
    }
    const char c = text_[pos_];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      number_ = 0;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
        const int digit = text_[pos_++] - '0';
        if (number_ > (INT64_MAX - digit) / 10) {
          Fail("number too large at \"" + text_.substr(start_) + "\"");
          return;
        }
        number_ = number_ * 10 + digit;
      }
      token_ = Number;
      return;
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const size_t from = pos_;
      while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) ++pos_;
      name_ = text_.substr(from, pos_ - from);
      token_ = Name;
      return;
    }
    // Two-character operators before their one-character prefixes.
    static constexpr std::pair<const char*, Token> kPairs[] = {{"||", OrOp}, {"&&", AndOp}, {"==", Eq},
                                                              {"!=", Ne},   {"<=", Le},    {">=", Ge}};
    for (const auto& [op, token] : kPairs)
      if (text_.compare(pos_, 2, op) == 0) {
        pos_ += 2;
        token_ = token;
        return;
      }
    ++pos_;
    switch (c) {
      case '!': token_ = Not; break;
      case '<': token_ = Lt; break;
      case '>': token_ = Gt; break;
      case '(': token_ = LParen; break;
      case ')': token_ = RParen; break;
      case ',': token_ = Comma; break;
      default: token_ = Bad; Fail(std::string("unexpected character '") + c + "'");
    }
  }

  void Expect(Token t, const char* what) {
    if (token_ != t) Fail(std::string("expected ") + what);
    else Next();
  }

  int64_t Or() {
    int64_t v = And();
    while (token_ == OrOp) {
      Next();
      const int64_t r = And();
      v = (v != 0 || r != 0) ? 1 : 0;
    }
    return v;
  }

  int64_t And() {
    int64_t v = Unary();
    while (token_ == AndOp) {
      Next();
      const int64_t r = Unary();
      v = (v != 0 && r != 0) ? 1 : 0;
    }
    return v;
  }

  // Every nesting ('!', parentheses, in (...)) passes through here; the
  // expression comes from the plug-in file, so its depth is bounded before it
  // can exhaust the stack.
  int64_t Unary() {
    if (depth_ >= kMaxDepth) {
      Fail("expression nested too deeply (more than " + std::to_string(kMaxDepth) + " levels)");
      return 0;
    }
    ++depth_;
    int64_t v;
    if (token_ == Not) {
      Next();
      v = Unary() == 0 ? 1 : 0;
    } else {
      v = Compare();
    }
    --depth_;
    return v;
  }

  int64_t Compare() {
    const int64_t a = Primary();
    const Token op = token_;
    if (op != Eq && op != Ne && op != Lt && op != Le && op != Gt && op != Ge) return a;
    Next();
    const int64_t b = Primary();
    switch (op) {
      case Eq: return a == b;
      case Ne: return a != b;
      case Lt: return a < b;
      case Le: return a <= b;
      case Gt: return a > b;
      default: return a >= b;
    }
  }

  int64_t Primary() {
    if (token_ == Number) {
      const int64_t v = number_;
      Next();
      return v;
    }
    if (token_ == LParen) {
      Next();
      const int64_t v = Or();
      Expect(RParen, "')'");
      return v;
    }
    if (token_ != Name) {
      Fail(token_ == End ? "unexpected end of the expression" : "unexpected text at \"" + text_.substr(start_) + "\"");
      return 0;
    }
    const std::string name = name_;
    Next();
    if (name == "in") {
      Expect(LParen, "'(' after in");
      const int64_t first = Or();
      bool found = false;
      while (token_ == Comma) {
        Next();
        if (Or() == first) found = true;
      }
      Expect(RParen, "')' closing in (...)");
      return found ? 1 : 0;
    }
    return Value(name);
  }

  int64_t Value(const std::string& name) {
    if (name == "true") return 1;
    if (name == "false") return 0;
    if (name == "PSHOP_ImageMode") return doc_.mode;
    if (name == "PSHOP_ImageDepth") return doc_.depth;
    if (name == "PSHOP_ImageWidth") return doc_.width;
    if (name == "PSHOP_ImageHeight") return doc_.height;
    if (name == "PSHOP_NumChannels") return doc_.channels;
    for (const auto& m : kModeNames)
      if (name == m.name) return m.mode;
    Fail("unknown name " + name);
    return 0;
  }

  static constexpr int kMaxDepth = 100;

  const std::string& text_;
  const DocumentFacts& doc_;
  int depth_ = 0;
  size_t pos_ = 0, start_ = 0;
  Token token_ = End;
  int64_t number_ = 0;
  std::string name_;
  std::string error_;
};

}  // namespace

std::string FourCCText(uint32_t code) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((code >> shift) & 0xFF);
    if (!std::isprint(static_cast<unsigned char>(c)) || c == '\'') {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08X", code);
      return hex;
    }
    s += c;
  }
  return "'" + s + "'";
}

std::string ModeName(int32_t mode) {
  for (const auto& m : kModeNames)
    if (m.mode == mode) return m.name;
  return "mode " + std::to_string(mode);
}

bool ModeFlagsAllow(uint16_t flags, int32_t mode) {
  if (mode < 0 || mode > 15) return false;
  return (flags & (0x8000u >> mode)) != 0;
}

bool EvaluateEnable(const std::string& expression, const DocumentFacts& doc, bool& enabled, std::string& error) {
  ExpressionReader reader(expression, doc);
  return reader.Evaluate(enabled, error);
}

bool ParsePipl(const uint8_t* data, size_t size, PiplInfo& info, std::string& error) {
  if (size < 10) {
    error = "property list shorter than its 10-byte header";
    return false;
  }
  // A leading word, then the list version (0 is the only layout there is)
  // and the property count, both signed.
  const int32_t version = static_cast<int32_t>(ReadLE32(data + 2));
  if (version != 0) {
    error = "property list version " + std::to_string(version) + ", not 0";
    return false;
  }
  const int32_t count = static_cast<int32_t>(ReadLE32(data + 6));
  if (count < 0) {
    error = "negative property count " + std::to_string(count);
    return false;
  }
  size_t at = 10;
  for (int32_t i = 0; i < count; ++i) {
    if (size - at < 16) {
      error = "property " + std::to_string(i + 1) + " of " + std::to_string(count) + " runs past the end of the list";
      return false;
    }
    const uint32_t vendor = ReadLE32(data + at);
    const uint32_t key = ReadLE32(data + at + 4);
    const uint32_t length = ReadLE32(data + at + 12);
    if (length > size - at - 16) {
      error = "property " + FourCCText(key) + " is longer than the list";
      return false;
    }
    const uint8_t* p = data + at + 16;
    at += 16 + length;
    // Other vendors' properties mean what that vendor says, not what the
    // host's properties of the same key mean.
    if (vendor != Code("8BIM")) {
      info.keys.push_back(FourCCText(vendor) + "/" + FourCCText(key));
      continue;
    }
    info.keys.push_back(FourCCText(key));
    if (key == Code("kind") && length >= 4) info.kind = ReadLE32(p);
    else if (key == Code("name")) info.name = PascalString(p, length);
    else if (key == Code("catg")) info.category = PascalString(p, length);
    else if (key == Code("vers") && length >= 4) info.interfaceVersion = static_cast<int32_t>(ReadLE32(p));
    else if (key == Code(kEntryPointKey)) info.entryPoint = CString(p, length);
    else if (key == Code("mode") && length >= 2) {
      info.hasModes = true;
      info.modeFlags = static_cast<uint16_t>(p[0] << 8 | p[1]);
    } else if (key == Code("enbl")) {
      info.hasEnable = true;
      info.enableExpression = CString(p, length);
    } else if (key == Code("ms32") && length >= 8) {
      info.maxHeight = static_cast<int32_t>(ReadLE32(p));
      info.maxWidth = static_cast<int32_t>(ReadLE32(p + 4));
    } else if (key == Code("fici")) {
      info.hasCaseInfo = true;
      for (size_t c = 0; c < 7 && (c + 1) * 4 <= length; ++c)
        info.caseInfo[c] = FilterCaseInfo{p[c * 4], p[c * 4 + 1], p[c * 4 + 2]};
    }
  }
  return true;
}
