// The two back ends the directory suite runs on, and the per-test set-up they share.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "temp_prefix.h"
#include "zemir/platform/ldap.h"

namespace zemir::test {

enum class Backend { Embedded, Slapd };
std::string BackendName(const ::testing::TestParamInfo<Backend>& info);

// A fresh prefix with a log file, the adapter bound anew, the settings catalogue at its
// defaults, and an empty partition with its four containers (plus the small domain) in the
// chosen back end.
class DirectoryTest : public ::testing::TestWithParam<Backend> {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // The diagnostic log written so far.
  std::string Log() const;
  // Forgets what the log holds so far (Log() then shows only later lines).
  void MarkLog();
  // A direct connection to the back end (bypassing the adapter) for arranging and checking.
  platform::Directory& Dir() { return *dir_; }
  bool slapd() const { return GetParam() == Backend::Slapd; }

  std::unique_ptr<TempPrefix> prefix_;
  std::unique_ptr<platform::Directory> dir_;
  size_t logMark_ = 0;
};

}  // namespace zemir::test
