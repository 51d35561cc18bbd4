// Registry speed: ReadRegInt and WriteRegString per second, each beside a raw prepared SQLite
// select or update of the same row of the same database, measured in the same run.
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "zemir/common/regstore.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs `op` in batches until `seconds` have passed; returns operations per second.
double Rate(const std::function<bool()>& op, double seconds) {
  long n = 0;
  auto start = Clock::now();
  auto until = start + std::chrono::duration<double>(seconds);
  auto now = start;
  while (now < until) {
    for (int i = 0; i < 256; ++i) {
      if (!op()) {
        std::fprintf(stderr, "bench_registry: an operation failed\n");
        std::exit(1);
      }
    }
    n += 256;
    now = Clock::now();
  }
  return static_cast<double>(n) / std::chrono::duration<double>(now - start).count();
}

// The best of `rounds` alternating measurements of `a` and `b`, so that both see the same
// machine load.
void Compare(const char* what, const char* baseline, const std::function<bool()>& a, const std::function<bool()>& b,
             double seconds, int rounds, bool isRead) {
  double ra = 0, rb = 0;
  for (int r = 0; r < rounds; ++r) {
    ra = std::max(ra, Rate(a, seconds / rounds));
    rb = std::max(rb, Rate(b, seconds / rounds));
  }
  double ratio = rb / ra;  // how many times slower the registry call is
  std::printf("%-16s %12.0f/s   %-22s %12.0f/s   %5.2fx slower%s\n", what, ra, baseline, rb, ratio,
              isRead ? (ratio <= 3.0 ? "   (aim <= 3x: met)" : "   (aim <= 3x: NOT met)") : "");
}

struct Db {
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* update = nullptr;
  ~Db() {
    sqlite3_finalize(select);
    sqlite3_finalize(update);
    sqlite3_close_v2(db);
  }
};

int Run(double seconds) {
  using namespace zemir;
  const char* sub = "SOFTWARE\\Zemir";
  // A realistic product key: the setting under test among a few dozen others.
  for (int i = 0; i < 50; ++i) WriteRegString(HKEY_LOCAL_MACHINE, sub, ("Setting" + std::to_string(i)).c_str(), "1");
  WriteRegString(HKEY_LOCAL_MACHINE, sub, "BenchValue", "12");

  Db raw;
  std::string file = (platform::Prefix() / "registry" / "HKLM.db").string();
  if (sqlite3_open_v2(file.c_str(), &raw.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "bench_registry: cannot open %s\n", file.c_str());
    return 1;
  }
  sqlite3_busy_timeout(raw.db, 15000);
  sqlite3_exec(raw.db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  // The same row the registry calls read and write, found once.
  sqlite3_int64 keyId = 0;
  {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw.db, "SELECT id FROM keys WHERE lpath='software\\zemir'", -1, &s, nullptr);
    if (sqlite3_step(s) == SQLITE_ROW) keyId = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
  }
  if (sqlite3_prepare_v3(raw.db, "SELECT type, data FROM vals WHERE key=?1 AND lname=?2", -1,
                         SQLITE_PREPARE_PERSISTENT, &raw.select, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v3(raw.db, "UPDATE vals SET type=1, data=?3 WHERE key=?1 AND lname=?2", -1,
                         SQLITE_PREPARE_PERSISTENT, &raw.update, nullptr) != SQLITE_OK || !keyId) {
    std::fprintf(stderr, "bench_registry: %s\n", sqlite3_errmsg(raw.db));
    return 1;
  }
  sqlite3_bind_int64(raw.select, 1, keyId);
  sqlite3_bind_text(raw.select, 2, "benchvalue", -1, SQLITE_STATIC);
  sqlite3_bind_int64(raw.update, 1, keyId);
  sqlite3_bind_text(raw.update, 2, "benchvalue", -1, SQLITE_STATIC);

  volatile long sink = 0;
  auto regRead = [&] {
    int v = ReadRegInt(HKEY_LOCAL_MACHINE, sub, "BenchValue", -1);
    sink = sink + v;
    return v == 12;
  };
  auto rawRead = [&] {
    sqlite3_reset(raw.select);
    if (sqlite3_step(raw.select) != SQLITE_ROW) return false;
    const char* p = static_cast<const char*>(sqlite3_column_blob(raw.select, 1));
    int v = p ? std::atoi(p) : 0;
    sqlite3_reset(raw.select);  // ends the read transaction, as the registry's calls do
    sink = sink + v;
    return v == 12;
  };
  auto regWrite = [&] { return WriteRegString(HKEY_LOCAL_MACHINE, sub, "BenchValue", "12"); };
  auto rawWrite = [&] {
    sqlite3_reset(raw.update);
    sqlite3_bind_blob(raw.update, 3, "12", 3, SQLITE_STATIC);
    return sqlite3_step(raw.update) == SQLITE_DONE;
  };

  std::printf("Registry benchmark: %.1f s per pair\n", seconds);
  std::printf("%-16s %14s   %-22s %14s   %s\n", "registry call", "rate", "raw SQLite baseline", "rate", "ratio");
  Compare("ReadRegInt", "prepared SELECT", regRead, rawRead, seconds, 3, true);
  Compare("WriteRegString", "prepared UPDATE", regWrite, rawWrite, seconds, 3, false);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3.0;
  if (argc > 1) seconds = std::atof(argv[1]);
  if (seconds <= 0) seconds = 3.0;
  // A prefix of its own, never the user's.
  std::string tmpl = (std::filesystem::temp_directory_path() / "zemir-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  setenv("ZEMIR_PREFIX", tmpl.c_str(), 1);
  int rc = Run(seconds);
  zemir::RegResetConnections();
  std::error_code ec;
  std::filesystem::remove_all(tmpl, ec);
  return rc;
}
