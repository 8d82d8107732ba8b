// The same resources as the system itself reads them (Windows builds only):
// the version API on the hand-built version block, the string loader on the
// UTF-16 text, and resource look-up by the type names that hosts use.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring ModulePath() {
  const char* path = std::getenv("PIXELMOOR_MODULE");
  return path ? std::wstring(path, path + std::char_traits<char>::length(path)) : std::wstring();
}

TEST(WindowsApiTest, VersionApiReadsTheVersionBlock) {
  const std::wstring path = ModulePath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version block readable by the version API";
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x10000u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  struct Expected {
    const wchar_t* key;
    const wchar_t* value;
  };
  const Expected kStrings[] = {{L"Comments", L""},          {L"CompanyName", L"Tarnwick"},
                               {L"FileVersion", L"10.0"},   {L"ProductVersion", L"1.0"},
                               {L"SpecialBuild", L""},      {L"ProductName", L"Pixelmoor"}};
  for (const Expected& e : kStrings) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + e.key;
    wchar_t* value = nullptr;
    UINT chars = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars))
        << "no value for key index " << (&e - kStrings);
    EXPECT_EQ(chars, e.value[0] ? std::wcslen(e.value) + 1 : 0u);
    EXPECT_EQ(std::wstring(value, e.value[0] ? chars - 1 : 0), e.value);
  }
}

TEST(WindowsApiTest, LoaderFindsStringsAndHostResources) {
  HMODULE module = LoadLibraryExW(ModulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);

  const wchar_t* text = nullptr;
  const int length = LoadStringW(module, 16992, reinterpret_cast<wchar_t*>(&text), 0);
  ASSERT_GT(length, 0);
  const std::wstring s(text, static_cast<size_t>(length));
  EXPECT_NE(s.find(L"Photoshop\u00AE ^1"), std::wstring::npos);

  // Hosts look the type names up without regard to case.
  for (const wchar_t* type : {L"PIPL", L"pipl"}) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(16000), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(SizeofResource(module, found), 522u);
  }
  HRSRC aete = FindResourceW(module, MAKEINTRESOURCEW(16000), L"AETE");
  ASSERT_NE(aete, nullptr);
  EXPECT_EQ(SizeofResource(module, aete), 171u);
  EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(24)), nullptr);
  FreeLibrary(module);
}

}  // namespace
