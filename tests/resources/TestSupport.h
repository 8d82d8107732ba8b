// Shared pieces of the resource tests: the built module, read once, and a
// layout of named fields to compare a binary resource with byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "PeResources.h"

namespace restest {

using pe::Bytes;

constexpr uint16_t kEnglishUS = 1033;
constexpr uint16_t kDialogType = 5, kStringType = 6, kVersionType = 16, kManifestType = 24;

// The module under test: the file named by PIXELMOOR_MODULE (the build sets it
// to the Pixelmoor.8bf that it has just linked).
class BuiltModule : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  static const pe::Image& Module() { return *image_; }
  // The resource's data, or a test failure naming what is missing.
  static const Bytes& Get(const pe::ResourceKey& type, const pe::ResourceKey& name);

 private:
  static const pe::Image* image_;
  static std::string* error_;
};

Bytes B(std::initializer_list<uint8_t> bytes);
Bytes Ascii(std::string_view text);
Bytes Zeros(size_t count);
Bytes operator+(Bytes a, const Bytes& b);

// A resource written out as consecutive named fields. Differences() names
// each field whose stored bytes differ, so a failure says which field is wrong
// rather than only where.
class Layout {
 public:
  Layout& Add(std::string name, Bytes bytes);
  size_t Size() const;
  std::vector<std::string> Differences(const Bytes& actual) const;

 private:
  struct Field {
    std::string name;
    Bytes bytes;
  };
  std::vector<Field> fields_;
};

std::string Hex(const Bytes& bytes, size_t from, size_t count);

}  // namespace restest
