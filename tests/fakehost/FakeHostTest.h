// A test fixture that owns one FakeHost per test and fails the test when the
// module misused the host (a lock left, a guard byte written, ...).
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "FakeHost.h"

namespace fakehost {

class FakeHostTest : public testing::Test {
 protected:
  FakeHost& Make(const Options& options = {}) {
    host_ = std::make_unique<FakeHost>(options);
    return *host_;
  }
  void TearDown() override {
    if (host_) {
      EXPECT_THAT(host_->Misuse(), testing::IsEmpty());
    }
  }
  std::unique_ptr<FakeHost> host_;
};

}  // namespace fakehost
