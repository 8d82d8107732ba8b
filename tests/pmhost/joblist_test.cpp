// The check pmhost makes on a batch run's job list before it converts
// anything: no file written twice, and no file written that another image of
// the run reads, however the paths are spelled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JobList.h"

namespace {

using testing::HasSubstr;

// Paths as Windows resolves them, from C:\work.
TEST(JobList, PathKeyResolvesASpellingAsWindowsDoes) {
  const struct {
    const char* path;
    const char* key;
  } kCases[] = {
      {"out.png", "c:\\work\\out.png"},
      {"./out.png", "c:\\work\\out.png"},
      {".\\OUT.PNG", "c:\\work\\out.png"},
      {"sub/../out.png", "c:\\work\\out.png"},
      {"sub//deeper\\.\\..\\x.png", "c:\\work\\sub\\x.png"},
      {"out.png. ", "c:\\work\\out.png"},
      {"dir./x.png", "c:\\work\\dir\\x.png"},
      {"../../../up.png", "c:\\up.png"},
      {"\\top.png", "c:\\top.png"},
      {"C:/Work/Out.png", "c:\\work\\out.png"},
      {"c:rel.png", "c:\\work\\rel.png"},
      {"D:rel.png", "d:\\rel.png"},
      {"\\\\Server\\Share\\a\\..\\b.png", "\\\\server\\share\\b.png"},
  };
  for (const auto& c : kCases) EXPECT_EQ(PathKey(c.path, "C:\\work"), c.key) << c.path;
}

// Jobs from "IN OUT IN OUT ...", as pmhost's pairs form makes them.
std::vector<Job> Pairs(const std::vector<std::string>& words) {
  std::vector<Job> jobs;
  for (size_t i = 0; i + 1 < words.size(); i += 2) jobs.push_back({words[i], words[i + 1], ""});
  return jobs;
}

TEST(JobList, RefusesListsThatWouldLoseAFile) {
  // link.png is a hard link to a.png: the same file under another name,
  // which only the file's identity on disk shows.
  const FileKey key = [](const std::string& path) {
    const std::string k = PathKey(path, "C:\\work");
    return k == "c:\\work\\link.png" ? PathKey("a.png", "C:\\work") : k;
  };
  const struct {
    const char* what;
    std::vector<Job> jobs;
    const char* refusal;  // empty: the run may go ahead
  } kCases[] = {
      {"distinct files", Pairs({"a.png", "x.png", "b.png", "y.png"}), ""},
      {"one input read twice", Pairs({"a.png", "x.png", "a.png", "y.png"}), ""},
      {"an image converted in place", Pairs({"a.png", "a.png", "b.png", "y.png"}), ""},
      {"in place, spelled differently", Pairs({"a.png", "./A.png"}), ""},
      {"one output twice", Pairs({"a.png", "out.png", "b.png", "out.png"}),
       "a.png and b.png would both be written to out.png"},
      {"one output, two spellings", Pairs({"a.png", "out.png", "b.png", "./out.png"}),
       "a.png and b.png would both be written to ./out.png"},
      {"one output, two cases", Pairs({"a.png", "sub/Out.png", "b.png", "SUB\\out.PNG"}),
       "a.png and b.png would both be written to SUB\\out.PNG"},
      {"one output through ..", Pairs({"a.png", "out.png", "b.png", "x/../out.png"}),
       "a.png and b.png would both be written to x/../out.png"},
      {"an output read by a later image", Pairs({"a.png", "b2.png", "b2.png", "c.png"}),
       "b2.png, the output of a.png, is also the input of image 2"},
      {"an output read by an earlier image", Pairs({"b.png", "c.png", "a.png", "b.png"}),
       "b.png, the output of a.png, is also the input of image 1"},
      {"an output read later, spelled differently", Pairs({"a.png", "b2.png", "./B2.png", "c.png"}),
       "b2.png, the output of a.png, is also the input of image 2 (./B2.png)"},
      {"an output that is another image's input under another name", Pairs({"b.png", "link.png", "a.png", "y.png"}),
       "link.png, the output of b.png, is also the input of image 2 (a.png)"},
      {"two outputs that are one file", Pairs({"a.png", "link.png", "b.png", "z.png", "c.png", "a.png"}),
       "a.png and c.png would both be written to a.png"},
      {"a job already failed reads and writes nothing",
       {{"empty", "", "the folder empty holds no .png file"}, {"a.png", "x.png", ""}}, ""},
      {"the input of a failed job is not read",
       {{"x.png", "", "no file matches x.png"}, {"a.png", "x.png", ""}}, ""},
  };
  for (const auto& c : kCases) {
    const std::string why = CheckJobList(c.jobs, key);
    if (*c.refusal == '\0') EXPECT_EQ(why, "") << c.what;
    else EXPECT_THAT(why, HasSubstr(c.refusal)) << c.what;
  }
}

}  // namespace
