// A test suite whose tests share one appliance web server on `Port`, started before the
// suite's first test and stopped after its last:
//
//   class ConvertTest : public paperlens_test::ServedSuite<18480> { ... };
//
// A suite that must prepare the appliance first (plug-in descriptors, the environment the
// server inherits) does so in its own SetUpTestSuite and then calls ServedSuite's.
#ifndef PAPERLENS_TESTS_SUPPORT_SERVED_SUITE_H_
#define PAPERLENS_TESTS_SUPPORT_SERVED_SUITE_H_

#include <gtest/gtest.h>

#include "appliance_server.h"

namespace paperlens_test {

template <int Port>
class ServedSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new ApplianceServer(Port); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(server_->Ok()) << server_->Error(); }

  static ApplianceServer* server_;
};

template <int Port>
ApplianceServer* ServedSuite<Port>::server_ = nullptr;

}  // namespace paperlens_test

#endif  // PAPERLENS_TESTS_SUPPORT_SERVED_SUITE_H_
