// Windows paths to host paths: the drive map, with components matched without regard to case.
#include "zemir/platform/fs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>

#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

namespace zemir::platform {

namespace {

// The host folder that a drive letter stands for, or empty.
std::string DriveRoot(char letter) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  if (letter == 'C') return DriveC().string();
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\DosDevices", 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return {};
  char name[3] = {letter, ':', 0};
  char buf[4096] = {};
  DWORD type = 0, cb = sizeof buf - 1;
  std::string root;
  if (RegQueryValueExA(k, name, &type, reinterpret_cast<BYTE*>(buf), &cb) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ))
    root.assign(buf, strnlen(buf, cb));
  RegCloseKey(k);
  return root;
}

// Appends one component to `base`, using an existing entry that matches without regard to case.
std::string AppendComponent(const std::string& base, const std::string& comp) {
  std::string exact = base + "/" + comp;
  struct stat st{};
  if (lstat(exact.c_str(), &st) == 0) return exact;
  if (DIR* d = opendir(base.c_str())) {
    while (dirent* e = readdir(d)) {
      if (strcasecmp(e->d_name, comp.c_str()) == 0) {
        std::string found = base + "/" + e->d_name;
        closedir(d);
        return found;
      }
    }
    closedir(d);
  }
  return exact;
}

}  // namespace

std::string HostPath(const std::string& p) {
  if (p.size() < 2 || p[1] != ':' || !std::isalpha(static_cast<unsigned char>(p[0]))) {
    return p;  // a host path already
  }
  std::string root = DriveRoot(p[0]);
  if (root.empty()) return {};
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::string out = root;
  std::string comp;
  for (size_t i = 2; i <= p.size(); ++i) {
    char c = i < p.size() ? p[i] : '\\';
    if (c == '\\' || c == '/') {
      if (!comp.empty() && comp != ".") out = AppendComponent(out, comp);
      comp.clear();
    } else {
      comp.push_back(c);
    }
  }
  return out;
}

}  // namespace zemir::platform
