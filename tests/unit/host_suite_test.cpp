// The held file-list suite: acquired once on first use, released once at
// unload through the basic suite of the last call.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Suites.h"
#include "host/CallContext.h"
#include "host/HostSuite.h"

namespace {

using hostkit::kFileListSuiteName;
using hostkit::Op;
using hostkit::Suites;

// Runs against the module's own holder and leaves it as loaded, so that the
// process's exit-time release finds nothing to do.
class HostSuiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gPluginGlobals = PluginGlobals{};
    gPluginGlobals.basicSuite = suites.BasicSuite();
  }
  void TearDown() override {
    gFileListSuite.suite = nullptr;
    gFileListSuite.lastError = 0;
    gPluginGlobals = PluginGlobals{};
  }

  Suites suites;
};

// Why GetSuite failed, 0 when it gave a table; a failure must come with a
// null table.
uint32_t CodeOfGetSuite() {
  uint32_t code = 0;
  const void* table = gFileListSuite.GetSuite(&code);
  EXPECT_EQ(table == nullptr, code != 0);
  return code;
}

TEST_F(HostSuiteTest, AcquiredOnceAndReleasedOnceWithTheSameNameAndVersion) {
  const void* first = gFileListSuite.GetSuite();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(gFileListSuite.GetSuite(), first);
  EXPECT_EQ(gFileListSuite.lastError, 0);
  ASSERT_EQ(suites.Count(Op::AcquireSuite), 1);
  EXPECT_EQ(suites.Events()[0].text, kFileListSuiteName);
  EXPECT_EQ(suites.Events()[0].version, 4);

  // The about box calls the fourth entry of the table it was given.
  static_cast<const PSGetFileListSuite4*>(first)->BrowseUrl("http://abc");
  EXPECT_EQ(suites.browsedUrls, std::vector<std::string>{"http://abc"});

  gFileListSuite.ReleaseAtUnload();
  gFileListSuite.ReleaseAtUnload();
  EXPECT_EQ(suites.SuiteTrace(), "A:files/4 Browse R:files/4");
  EXPECT_EQ(gFileListSuite.suite, nullptr);
  EXPECT_EQ(suites.HeldSuites(), 0);
  EXPECT_TRUE(suites.Misuse().empty());
}

TEST_F(HostSuiteTest, NoUsableBasicSuiteReportsParmAndCallsNothing) {
  SPBasicSuite halfFilled = *suites.BasicSuite();
  halfFilled.AcquireSuite = nullptr;
  for (SPBasicSuite* basic : {static_cast<SPBasicSuite*>(nullptr), &halfFilled}) {
    gPluginGlobals.basicSuite = basic;
    gFileListSuite.lastError = 123;
    EXPECT_EQ(CodeOfGetSuite(), 0x5061726du);  // 'Parm'
    EXPECT_EQ(gFileListSuite.lastError, 123);
    EXPECT_EQ(gFileListSuite.suite, nullptr);
  }
  EXPECT_TRUE(suites.Events().empty());
}

TEST_F(HostSuiteTest, RefusedSuiteIsReportedAndTriedAgainNextTime) {
  suites.caps.fileListSuite = false;
  EXPECT_EQ(CodeOfGetSuite(), static_cast<uint32_t>(kSPSuiteNotFoundError));
  EXPECT_EQ(gFileListSuite.lastError, kSPSuiteNotFoundError);
  EXPECT_EQ(gFileListSuite.suite, nullptr);

  // Nothing held: unloading now releases nothing.
  gFileListSuite.ReleaseAtUnload();
  EXPECT_EQ(suites.Count(Op::ReleaseSuite), 0);

  suites.caps.fileListSuite = true;
  EXPECT_NE(gFileListSuite.GetSuite(), nullptr);
  EXPECT_EQ(gFileListSuite.lastError, 0);
  EXPECT_EQ(suites.SuiteTrace(), "A!:files/4 A:files/4");
  gFileListSuite.ReleaseAtUnload();
}

// A host that answers success but hands out no table: the acquisition goes
// back at once, the holder stays empty and its last error says why, and the
// next use asks again.
TEST_F(HostSuiteTest, SuccessWithoutATableIsGivenBackAndReported) {
  suites.caps.fileListNullTable = true;
  EXPECT_EQ(CodeOfGetSuite(), static_cast<uint32_t>(kSPSuiteNotFoundError));
  EXPECT_EQ(gFileListSuite.lastError, kSPSuiteNotFoundError);
  EXPECT_EQ(gFileListSuite.suite, nullptr);
  EXPECT_EQ(suites.HeldSuites(), 0);

  suites.caps.fileListNullTable = false;
  EXPECT_NE(gFileListSuite.GetSuite(), nullptr);
  EXPECT_EQ(gFileListSuite.lastError, 0);
  EXPECT_EQ(suites.SuiteTrace(), "A:files/4 R:files/4 A:files/4");
  gFileListSuite.ReleaseAtUnload();
  EXPECT_TRUE(suites.Misuse().empty());
}

TEST_F(HostSuiteTest, UnloadWithoutBasicSuiteKeepsTheSuite) {
  const void* held = gFileListSuite.GetSuite();
  SPBasicSuite noRelease = *suites.BasicSuite();
  noRelease.ReleaseSuite = nullptr;
  for (SPBasicSuite* basic : {static_cast<SPBasicSuite*>(nullptr), &noRelease}) {
    gPluginGlobals.basicSuite = basic;
    gFileListSuite.ReleaseAtUnload();
    EXPECT_EQ(gFileListSuite.suite, held);
  }
  EXPECT_EQ(suites.Count(Op::ReleaseSuite), 0);
  gPluginGlobals.basicSuite = suites.BasicSuite();
  gFileListSuite.ReleaseAtUnload();
  EXPECT_EQ(suites.Count(Op::ReleaseSuite), 1);
}

// A host table that reports to stderr, for a child process whose exit is
// checked from outside: the release must come from the exit-time list that
// the module's static initialisation set up.
SPErr ExitAcquire(const char*, int32_t, const void** suite) {
  static const PSGetFileListSuite4 table{};
  *suite = &table;
  return 0;
}
SPErr ExitRelease(const char* name, int32_t version) {
  std::fprintf(stderr, "released %s v%d\n", name, static_cast<int>(version));
  return 0;
}
SPBasicSuite gExitBasic{ExitAcquire, ExitRelease, nullptr, nullptr, nullptr, nullptr, nullptr};

TEST(HostSuiteExit, HeldSuiteIsReleasedAtExitAndNothingElse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        gPluginGlobals.basicSuite = &gExitBasic;
        gFileListSuite.GetSuite();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^released Photoshop GetFileList Suite for Plug-ins v4\r?\n$");
  EXPECT_EXIT(
      {
        gPluginGlobals.basicSuite = &gExitBasic;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^$");
  // The whole process is ending (the DLL entry saw it): by then the host may
  // have torn its tables down, so the held suite is not released.
  EXPECT_EXIT(
      {
        gPluginGlobals.basicSuite = &gExitBasic;
        gFileListSuite.GetSuite();
        NoteProcessTermination();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
