// Temporary prefixes for tests.
#include "temp_prefix.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "zemir/platform/codepage.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

namespace zemir::test {

namespace {
// Tests find the source tree (schemas, language files, scripts) through ZEMIR_SOURCE_DIR.
[[maybe_unused]] const int kSourceDirSet = setenv("ZEMIR_SOURCE_DIR", ZEMIR_SOURCE_DIR, 0);
}  // namespace

TempPrefix::TempPrefix() {
  if (const char* o = getenv("ZEMIR_PREFIX")) {
    old_ = o;
    hadOld_ = true;
  }
  std::string tmpl = (std::filesystem::temp_directory_path() / "zemir-test-XXXXXX").string();
  if (char* d = mkdtemp(tmpl.data())) path_ = d;
  setenv("ZEMIR_PREFIX", path_.c_str(), 1);
  RegResetConnections();
  ResetACPCache();
}

TempPrefix::~TempPrefix() {
  RegResetConnections();
  ResetACPCache();
  if (hadOld_) setenv("ZEMIR_PREFIX", old_.c_str(), 1);
  else unsetenv("ZEMIR_PREFIX");
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string BuildBin() {
  if (const char* b = getenv("ZEMIR_BUILD_BIN")) return b;
  return platform::ModuleDir();
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace zemir::test
