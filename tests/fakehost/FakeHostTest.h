// A test fixture that owns one FakeHost at a time and fails the test when the
// module misused a host (a lock left, a guard byte written, ...) or its suites
// (a suite or descriptor not given back, a token left open, a scripting
// descriptor mishandled: the host's suites share its logs and handle table).
// Every host is checked: the one a table row made is looked at before the next
// row's replaces it, not only the last one at the end of the test.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <source_location>
#include <string>

#include "FakeHost.h"

namespace fakehost {

class FakeHostTest : public testing::Test {
 protected:
  FakeHost& Make(const Options& options = {}, std::source_location where = std::source_location::current()) {
    CheckHost("when the next host was made");
    host_ = std::make_unique<FakeHost>(options);
    ++made_;
    madeAt_ = where;
    return *host_;
  }
  void TearDown() override { CheckHost("at the end of the test"); }
  std::unique_ptr<FakeHost> host_;

 private:
  // Names the host by its place in the test and its switches, so that a
  // failure found after the row's own SCOPED_TRACE has ended still points at
  // the row (loops make one host per row: host n is row n).
  void CheckHost(const char* when) {
    if (!host_) return;
    const std::vector<std::string> misuse = host_->Misuse();
    if (misuse.empty()) return;
    const Options& o = host_->options();
    testing::Message what;
    what << "host " << made_ << " of this test, made here with " << o.width << "x" << o.height << ", " << o.planes
         << " planes, depth " << o.depth << ", tiles " << o.tileHeight << "x" << o.tileWidth << ", row padding "
         << o.rowPadding << (o.haveMask ? ", mask" : "") << (o.bigDocument ? "" : ", no big document")
         << ", failing new/lock/advance at " << o.newProcFailsAt << "/" << o.lockProcFailsAt << "/"
         << o.advanceFailsAt << (o.suites ? ", suites attached" : "") << ", misused the host (checked " << when << "):";
    for (const std::string& m : misuse) what << "\n  " << m;
    ADD_FAILURE_AT(madeAt_.file_name(), static_cast<int>(madeAt_.line())) << what;
  }
  int made_ = 0;
  std::source_location madeAt_;
};

}  // namespace fakehost
