#include "Descriptors.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "Pipl.h"

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
  if (text.rfind("0x", 0) == 0 && text.size() > 2) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str() + 2, &end, 16);
    if (*end != '\0') return false;
    code = static_cast<uint32_t>(v);
    return true;
  }
  return false;
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

bool Unquote(const std::string& s, std::string& out) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
  out.clear();
  for (size_t i = 1; i + 1 < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
    } else if (i + 2 < s.size() && s[i + 1] == 'x' && i + 3 < s.size()) {
      out += static_cast<char>(std::strtoul(s.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else if (i + 2 < s.size()) {
      out += s[++i];
    }
  }
  return true;
}

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
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

bool ParseLines(std::istream& in, Descriptor& d, std::string& error, bool nested) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string keyText, type;
    if (!(words >> keyText)) continue;
    if (keyText == "}") {
      if (nested) return true;
      error = "unexpected }";
      return false;
    }
    uint32_t key = 0;
    if (!ParseFourCC(keyText, key) || !(words >> type)) {
      error = "cannot read \"" + line + "\"";
      return false;
    }
    DescriptorValue v;
    std::string a, b, rest;
    bool ok = true;
    if (type == "int") {
      v.type = ValueType::Integer;
      ok = static_cast<bool>(words >> v.integer);
    } else if (type == "float") {
      v.type = ValueType::Float;
      ok = static_cast<bool>(words >> v.number);
    } else if (type == "unit") {
      v.type = ValueType::UnitFloat;
      ok = (words >> a >> v.number) && ParseFourCC(a, v.code1);
    } else if (type == "bool") {
      v.type = ValueType::Bool;
      ok = static_cast<bool>(words >> a) && (a == "true" || a == "false");
      v.integer = a == "true";
    } else if (type == "text" || type == "alias") {
      v.type = type == "text" ? ValueType::Text : ValueType::Alias;
      std::getline(words >> std::ws, rest);
      ok = Unquote(rest, v.text);
    } else if (type == "enum") {
      v.type = ValueType::Enumerated;
      ok = (words >> a >> b) && ParseFourCC(a, v.code1) && ParseFourCC(b, v.code2);
    } else if (type == "class" || type == "globalclass") {
      v.type = type == "class" ? ValueType::Class : ValueType::GlobalClass;
      ok = (words >> a) && ParseFourCC(a, v.code1);
    } else if (type == "object" || type == "globalobject") {
      v.type = type == "object" ? ValueType::Object : ValueType::GlobalObject;
      ok = (words >> a >> b) && ParseFourCC(a, v.code1) && b == "{";
      v.object = std::make_shared<Descriptor>();
      if (ok && !ParseLines(in, *v.object, error, true)) return false;
    } else if (type == "list") {
      v.type = ValueType::List;
    } else if (type == "reference") {
      v.type = ValueType::Reference;
    } else {
      ok = false;
    }
    if (!ok) {
      error = "cannot read \"" + line + "\"";
      return false;
    }
    d.Put(key, std::move(v));
  }
  if (nested) {
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
  return ParseLines(in, d, error, false);
}
