// Per-test set-up of the directory suite on the embedded store or a throwaway slapd.
#include "backend.h"

#include <algorithm>

#include "zemir/common/catalogue.h"
#include "zemir/common/trace.h"
#include "zemir/directory/adapter.h"
#include "zemir/testsupport/slapd.h"
#include "zemir/tools/ldiftool.h"

namespace zemir::test {

namespace {
SlapdServer* g_slapd = nullptr;
std::string g_slapdError;
}  // namespace

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Embedded ? "Embedded" : "Slapd";
}

void DirectoryTest::SetUpTestSuite() {}

void DirectoryTest::TearDownTestSuite() {
  delete g_slapd;
  g_slapd = nullptr;
}

void DirectoryTest::SetUp() {
  prefix_ = std::make_unique<TempPrefix>();
  GetTraceMaker().Open((prefix_->path() + "/test.log").c_str(), 900);
  GetSettingsCatalogue() = SettingsCatalogue();
  ResetAPLibBinding();
  platform::ConnectOptions o;
  if (GetParam() == Backend::Slapd) {
    if (!SlapdServer::Available()) GTEST_SKIP() << "slapd is not installed";
    if (!g_slapd) {
      g_slapd = new SlapdServer;
      if (!g_slapd->Start(&g_slapdError)) {
        delete g_slapd;
        g_slapd = nullptr;
      }
    }
    ASSERT_TRUE(g_slapd) << g_slapdError;
    g_slapd->ConfigureRegistry();
    o = platform::ProductDirectoryOptions();
  } else {
    o = platform::ProductDirectoryOptions();
  }
  int code = 0;
  std::string err;
  dir_ = platform::ConnectDirectory(o, &code, &err);
  ASSERT_TRUE(dir_) << err;
  // Start from an empty partition: remove what an earlier test left (deepest entries first).
  std::vector<platform::Entry> old;
  if (dir_->Search("DC=Zemir,DC=com", platform::Scope::Subtree, "(objectClass=*)", {"1.1"}, old) == 0) {
    std::sort(old.begin(), old.end(), [](const auto& a, const auto& b) {
      return platform::SplitDn(a.dn).size() > platform::SplitDn(b.dn).size();
    });
    for (const auto& e : old) dir_->Delete(e.dn);
  }
  std::vector<std::string> report;
  ASSERT_TRUE(tools::InstallPartition(*dir_, report)) << report.back();
  if (GetParam() == Backend::Embedded) {
    ASSERT_TRUE(SmallDomain::LoadInto(*dir_, &err)) << err;
  }
  MarkLog();
}

void DirectoryTest::TearDown() {
  dir_.reset();
  ResetAPLibBinding();
  prefix_.reset();
}

std::string DirectoryTest::Log() const {
  std::string all = ReadFile(prefix_->path() + "/test.log");
  return all.size() >= logMark_ ? all.substr(logMark_) : all;
}

void DirectoryTest::MarkLog() { logMark_ = ReadFile(prefix_->path() + "/test.log").size(); }

}  // namespace zemir::test
