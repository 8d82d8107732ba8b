#include "TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace restest {

const pe::Image* BuiltModule::image_ = nullptr;
std::string* BuiltModule::error_ = nullptr;

void BuiltModule::SetUpTestSuite() {
  if (image_ || error_) return;
  const char* path = std::getenv("PIXELMOOR_MODULE");
  try {
    if (!path || !*path) throw std::runtime_error("PIXELMOOR_MODULE does not name the built module");
    image_ = new pe::Image(pe::ReadImage(pe::ReadFile(path)));
  } catch (const std::exception& e) {
    error_ = new std::string(e.what());
  }
}

void BuiltModule::SetUp() {
  if (!image_) GTEST_FAIL() << "cannot read the module: " << *error_;
}

const Bytes& BuiltModule::Get(const pe::ResourceKey& type, const pe::ResourceKey& name) {
  static const Bytes kNone;
  const pe::Resource* r = image_->Find(type, name, kEnglishUS);
  if (!r) {
    ADD_FAILURE() << "no resource of type " << type.ToString() << ", name " << name.ToString()
                  << ", language 1033";
    return kNone;
  }
  return r->data;
}

Bytes B(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }
Bytes Ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes Zeros(size_t count) { return Bytes(count, 0); }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Layout& Layout::Add(std::string name, Bytes bytes) {
  fields_.push_back({std::move(name), std::move(bytes)});
  return *this;
}

size_t Layout::Size() const {
  size_t n = 0;
  for (const Field& f : fields_) n += f.bytes.size();
  return n;
}

std::string Hex(const Bytes& bytes, size_t from, size_t count) {
  std::string out;
  for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
    char h[4];
    std::snprintf(h, sizeof h, "%02X ", bytes[i]);
    out += h;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

std::vector<std::string> Layout::Differences(const Bytes& actual) const {
  std::vector<std::string> out;
  size_t at = 0;
  for (const Field& f : fields_) {
    const bool fits = at + f.bytes.size() <= actual.size();
    if (!fits || !std::equal(f.bytes.begin(), f.bytes.end(), actual.begin() + static_cast<ptrdiff_t>(at))) {
      out.push_back("field '" + f.name + "' at offset " + std::to_string(at) + ": expected [" +
                    Hex(f.bytes, 0, f.bytes.size()) + "], stored [" + Hex(actual, at, f.bytes.size()) + "]");
    }
    at += f.bytes.size();
  }
  if (actual.size() != at) {
    out.push_back("resource is " + std::to_string(actual.size()) + " bytes, its fields make " + std::to_string(at));
  }
  return out;
}

}  // namespace restest
