// Directory speed: the settings walks and the key list (one list, then one read per record) on
// the embedded store and on a throwaway slapd, each beside one one-level search that fetches
// the same entries in the same run.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "zemir/common/catalogue.h"
#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/directory/adapter.h"
#include "zemir/directory/records.h"
#include "zemir/directory/settings.h"
#include "zemir/platform/codepage.h"
#include "zemir/platform/ldap.h"
#include "zemir/platform/registry.h"
#include "zemir/testsupport/slapd.h"
#include "zemir/tools/ldiftool.h"

using namespace zemir;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void Line(const char* what, double seconds, const char* note = "") {
  printf("  %-52s %9.3f s %s\n", what, seconds, note);
}

const std::vector<std::string> kKeyAttrs = {"zmKeyID", "zmKeyType", "zmUserName", "zmUserKeySerial",
                                            "zmUserData", "zmUserPolicy", "zmUserAttr1"};

bool Run(const char* label, int records, bool withLog) {
  printf("%s (%d key records)\n", label, records);
  auto dir = platform::ConnectDirectory(platform::ProductDirectoryOptions(), nullptr, nullptr);
  if (!dir) {
    printf("  cannot connect\n");
    return false;
  }
  std::vector<std::string> report;
  if (!tools::InstallPartition(*dir, report)) {
    printf("  %s\n", report.back().c_str());
    return false;
  }
  ResetAPLibBinding();
  if (!load_APLib()) {
    printf("  adapter not loaded\n");
    return false;
  }
  GetSettingsCatalogue() = SettingsCatalogue();
  _zemirAP_CreateSettings();

  auto t0 = Clock::now();
  bool ok = _zemirAP_SaveSettings();
  Line("save walk, 53 settings", Since(t0), ok ? "" : "(failed)");
  t0 = Clock::now();
  ok = _zemirAP_ReadSettings();
  Line("read walk, 53 settings", Since(t0), ok ? "" : "(failed)");
  std::vector<platform::Entry> out;
  t0 = Clock::now();
  dir->Search("CN=GlobalSettings,DC=Zemir,DC=com", platform::Scope::OneLevel, "(objectClass=*)", {"zmGlobalSettingData"}, out);
  char n[64];
  snprintf(n, sizeof n, "(%zu entries)", out.size());
  Line("  baseline: one one-level search of the settings", Since(t0), n);

  t0 = Clock::now();
  std::string profile(600, 'A');
  for (int i = 0; i < records; ++i) {
    std::string id = "key-" + std::to_string(100000 + i);
    dir->Add("CN=" + id + ",CN=GlobalKeys,DC=Zemir,DC=com",
             {{"objectClass", {"zmGlobalKey"}},
              {"zmKeyID", {id}},
              {"zmKeyType", {"zemir_pkcs11.dll"}},
              {"zmUserName", {"user" + std::to_string(i)}},
              {"zmUserKeySerial", {"SN" + std::to_string(i)}},
              {"zmUserData", {profile}}});
  }
  Line("  (setup: adding the records directly)", Since(t0));

  t0 = Clock::now();
  auto kids = _zemirAP_ListChilds(kGlobalKeys);
  int read = 0;
  for (const auto& k : kids) {
    AttrMap m;
    for (const auto& a : kKeyAttrs) m[std::u16string(a.begin(), a.end())] = u" ";
    if (_zemirAP_getAttrsMap(kGlobalKeys, k.c_str(), nullptr, nullptr, m)) ++read;
  }
  snprintf(n, sizeof n, "(%d read%s)", read, withLog ? ", with the diagnostic log" : "");
  Line("key list: list + one read per record", Since(t0), n);
  t0 = Clock::now();
  for (const auto& k : kids) {
    std::vector<platform::Entry> one;
    dir->Search(WideToUtf8(k) + ",CN=GlobalKeys,DC=Zemir,DC=com", platform::Scope::Base, "(objectClass=*)", {"*"}, one);
  }
  Line("  (one base search per record, without the adapter)", Since(t0));
  t0 = Clock::now();
  for (const auto& k : kids) {
    ApHandle h = 0;
    if (ap::OpenObject(&h, ChildPath(kGlobalKeys, k)) != 0) continue;
    for (const auto& a : kKeyAttrs) {
      std::u16string v;
      ap::GetAttr(h, std::u16string(a.begin(), a.end()), &v);
    }
    ap::CloseObject(h);
  }
  Line("  (adapter calls per record, without the walk's log lines)", Since(t0));
  t0 = Clock::now();
  dir->Search("CN=GlobalKeys,DC=Zemir,DC=com", platform::Scope::OneLevel, "(objectClass=*)", kKeyAttrs, out);
  snprintf(n, sizeof n, "(%zu entries)", out.size());
  Line("  baseline: one one-level search of the records", Since(t0), n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int records = 10000;
  bool withLog = false;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--records=", 10) == 0) records = atoi(argv[i] + 10);
    else if (strcmp(argv[i], "--log") == 0) withLog = true;
    else {
      fprintf(stderr, "usage: bench_directory [--records=N] [--log]\n");
      return 2;
    }
  }
  char tmpl[] = "/tmp/zemir-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string prefix = tmpl;
  setenv("ZEMIR_PREFIX", prefix.c_str(), 1);
  if (withLog) GetTraceMaker().Open((prefix + "/bench.log").c_str(), 1u << 30);

  Run("embedded store", records, withLog);

  if (test::SlapdServer::Available()) {
    test::SlapdServer s;
    std::string err;
    if (s.Start(&err, false)) {
      s.ConfigureRegistry();
      Run("slapd (dbnosync)", records, withLog);
    } else {
      printf("slapd: %s\n", err.c_str());
    }
  } else {
    printf("slapd: not installed, skipped\n");
  }
  std::error_code ec;
  std::filesystem::remove_all(prefix, ec);
  return 0;
}
