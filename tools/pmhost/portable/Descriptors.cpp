#include "Descriptors.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "Pipl.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const DescriptorValue* Descriptor::Find(uint32_t key) const {
  for (const auto& [k, v] : items)
    if (k == key) return &v;
  return nullptr;
}

void Descriptor::Put(uint32_t key, DescriptorValue value) {
  for (auto& [k, v] : items)
    if (k == key) {
      v = std::move(value);
      return;
    }
  items.emplace_back(key, std::move(value));
}

bool Descriptor::Erase(uint32_t key) {
  for (auto it = items.begin(); it != items.end(); ++it)
    if (it->first == key) {
      items.erase(it);
      return true;
    }
  return false;
}

bool ParseFourCC(const std::string& text, uint32_t& code) {
  if (text.size() == 6 && text.front() == '\'' && text.back() == '\'') {
    code = 0;
    for (size_t i = 1; i < 5; ++i) code = code << 8 | static_cast<uint8_t>(text[i]);
    return true;
  }
  // 0x and one to eight hex digits: nothing that strtoul would also take
  // (signs, blanks, a second 0x, more than 32 bits).
  if (text.size() < 3 || text.size() > 10 || text.compare(0, 2, "0x") != 0) return false;
  uint32_t v = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return false;
    v = v << 4 | static_cast<uint32_t>(digit);
  }
  code = v;
  return true;
}

namespace {

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The inverse of Quote, and no more: a quote inside must be escaped, and the
// only escapes are \\, \" and \x with two hex digits.
bool Unquote(const std::string& s, std::string& out) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
  out.clear();
  const size_t end = s.size() - 1;  // the closing quote
  for (size_t i = 1; i < end; ++i) {
    const char c = s[i];
    if (c == '"') return false;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i + 1 >= end) return false;
    const char escaped = s[++i];
    if (escaped == '"' || escaped == '\\') {
      out += escaped;
      continue;
    }
    if (escaped != 'x' || i + 2 >= end) return false;
    const int high = HexDigit(s[i + 1]), low = HexDigit(s[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return true;
}

// As printf's %.17g, which tells every double from the others, but exact
// with every C runtime: mingw-w64's printf for ARM64 takes a subnormal double
// for an x87 extended value and prints 4.9e-324 as 3.36e-4932.
std::string Number(double v) {
  char buf[64];
  const auto written = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 17);
  return std::string(buf, written.ptr);
}

std::string ValueText(const DescriptorValue& v, bool forPeople, int indent);

std::string Serialize(const Descriptor& d, int indent) {
  std::string out;
  for (const auto& [key, value] : d.items)
    out += std::string(static_cast<size_t>(indent), ' ') + FourCCText(key) + " " + ValueText(value, false, indent) + "\n";
  return out;
}

std::string ValueText(const DescriptorValue& v, bool forPeople, int indent) {
  switch (v.type) {
    case ValueType::Integer: return (forPeople ? "" : "int ") + std::to_string(v.integer);
    case ValueType::Float: return (forPeople ? "" : "float ") + Number(v.number);
    case ValueType::UnitFloat: return (forPeople ? "" : "unit ") + FourCCText(v.code1) + " " + Number(v.number);
    case ValueType::Text: return (forPeople ? "" : "text ") + Quote(v.text);
    case ValueType::Bool: return (forPeople ? "" : "bool ") + std::string(v.integer ? "true" : "false");
    case ValueType::Enumerated: return "enum " + FourCCText(v.code1) + " " + FourCCText(v.code2);
    case ValueType::Class: return "class " + FourCCText(v.code1);
    case ValueType::GlobalClass: return "globalclass " + FourCCText(v.code1);
    case ValueType::Alias: return "alias " + Quote(v.text);
    case ValueType::Object:
    case ValueType::GlobalObject: {
      const std::string word = v.type == ValueType::Object ? "object " : "globalobject ";
      const Descriptor empty;
      const Descriptor& inner = v.object ? *v.object : empty;
      if (forPeople) return word + FourCCText(v.code1) + " " + DescribeDescriptor(inner);
      return word + FourCCText(v.code1) + " {\n" + Serialize(inner, indent + 2) +
             std::string(static_cast<size_t>(indent), ' ') + "}";
    }
    case ValueType::List: return "list";
    case ValueType::Reference: return "reference";
  }
  return "?";
}

// Reads a four-character code written by FourCCText: 'abcd' may hold spaces,
// so it is taken as six characters, not as a word.
bool ReadCode(std::istream& in, uint32_t& code) {
  std::string text;
  in >> std::ws;
  if (in.peek() == '\'') {
    text.resize(6);
    if (!in.read(text.data(), 6)) return false;
  } else if (!(in >> text)) {
    return false;
  }
  return ParseFourCC(text, code);
}

bool ReadInteger(std::istream& in, int64_t& v) {
  std::string word;
  if (!(in >> word)) return false;
  errno = 0;
  char* end = nullptr;
  const long long n = std::strtoll(word.c_str(), &end, 10);
  if (end == word.c_str() || *end != '\0' || errno == ERANGE) return false;
  v = n;
  return true;
}

// strtod, unlike a stream, also reads back the inf and nan that %g writes.
bool ReadFloat(std::istream& in, double& v) {
  std::string word;
  if (!(in >> word)) return false;
  char* end = nullptr;
  v = std::strtod(word.c_str(), &end);
  return end != word.c_str() && *end == '\0';
}

bool AtEnd(std::istream& in) {
  in >> std::ws;
  return in.eof();
}

// Objects nest by recursion; a file is bounded before it can exhaust the stack.
constexpr int kMaxNesting = 100;

bool ParseLines(std::istream& in, Descriptor& d, std::string& error, int depth) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    if (AtEnd(words)) continue;
    if (words.peek() == '}') {
      words.get();
      if (depth > 0 && AtEnd(words)) return true;
      error = depth > 0 ? "cannot read \"" + line + "\"" : "unexpected }";
      return false;
    }
    uint32_t key = 0;
    std::string type;
    if (!ReadCode(words, key) || !(words >> type)) {
      error = "cannot read \"" + line + "\"";
      return false;
    }
    DescriptorValue v;
    std::string word, rest;
    bool ok = true;
    if (type == "int") {
      v.type = ValueType::Integer;
      ok = ReadInteger(words, v.integer);
    } else if (type == "float") {
      v.type = ValueType::Float;
      ok = ReadFloat(words, v.number);
    } else if (type == "unit") {
      v.type = ValueType::UnitFloat;
      ok = ReadCode(words, v.code1) && ReadFloat(words, v.number);
    } else if (type == "bool") {
      v.type = ValueType::Bool;
      ok = static_cast<bool>(words >> word) && (word == "true" || word == "false");
      v.integer = word == "true";
    } else if (type == "text" || type == "alias") {
      v.type = type == "text" ? ValueType::Text : ValueType::Alias;
      std::getline(words >> std::ws, rest);
      ok = Unquote(rest, v.text);
    } else if (type == "enum") {
      v.type = ValueType::Enumerated;
      ok = ReadCode(words, v.code1) && ReadCode(words, v.code2);
    } else if (type == "class" || type == "globalclass") {
      v.type = type == "class" ? ValueType::Class : ValueType::GlobalClass;
      ok = ReadCode(words, v.code1);
    } else if (type == "object" || type == "globalobject") {
      v.type = type == "object" ? ValueType::Object : ValueType::GlobalObject;
      ok = ReadCode(words, v.code1) && (words >> word) && word == "{" && AtEnd(words);
      if (ok && depth >= kMaxNesting) {
        error = "objects nested deeper than " + std::to_string(kMaxNesting) + " levels";
        return false;
      }
      v.object = std::make_shared<Descriptor>();
      if (ok && !ParseLines(in, *v.object, error, depth + 1)) return false;
    } else if (type == "list") {
      v.type = ValueType::List;
    } else if (type == "reference") {
      v.type = ValueType::Reference;
    } else {
      ok = false;
    }
    if (!ok || !AtEnd(words)) {
      error = "cannot read \"" + line + "\"";
      return false;
    }
    d.Put(key, std::move(v));
  }
  if (depth > 0) {
    error = "object without its closing }";
    return false;
  }
  return true;
}

}  // namespace

std::string DescribeDescriptor(const Descriptor& d) {
  std::string out = "{";
  for (size_t i = 0; i < d.items.size(); ++i) {
    if (i > 0) out += ", ";
    out += FourCCText(d.items[i].first) + ": " + ValueText(d.items[i].second, true, 0);
  }
  return out + "}";
}

std::string SerializeDescriptor(const Descriptor& d) { return Serialize(d, 0); }

bool ParseDescriptor(const std::string& text, Descriptor& d, std::string& error) {
  std::istringstream in(text);
  return ParseLines(in, d, error, 0);
}
