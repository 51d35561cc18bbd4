// Windows paths to host paths: the drive map, with components matched without regard to case.
#include "zemir/platform/fs.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

namespace zemir::platform {

namespace {

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

std::string ReadSysText(const std::string& path) {
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  return s;
}

// Values of SYSTEM\DosDevices, by folded name.
struct DosDevices {
  std::vector<RegValue> values;
  const RegValue* Find(const std::string& name) const {
    for (const auto& v : values)
      if (strcasecmp(v.name.c_str(), name.c_str()) == 0) return &v;
    return nullptr;
  }
  std::string Text(const std::string& name) const {
    const RegValue* v = Find(name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return {};
    const char* p = reinterpret_cast<const char*>(v->data.data());
    return std::string(p, strnlen(p, v->data.size()));
  }
  long Number(const std::string& name, long def) const {
    const RegValue* v = Find(name);
    if (!v) return def;
    if (v->type == REG_DWORD && v->data.size() >= 4) {
      DWORD d;
      std::memcpy(&d, v->data.data(), 4);
      return static_cast<long>(d);
    }
    std::string t = Text(name);
    return t.empty() ? def : std::strtol(t.c_str(), nullptr, 10);
  }
};

DosDevices ReadDosDevices() {
  DosDevices d;
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\DosDevices", 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return d;
  RegListValues(k, d.values);
  RegCloseKey(k);
  return d;
}

// The sysfs disk of a block device name ("sdb1" -> "sdb", "sdb" -> "sdb"); empty when none.
std::string SysfsDiskOf(const std::string& dev) {
  std::string cls = "/sys/class/block/" + dev;
  struct stat st{};
  if (stat(cls.c_str(), &st) != 0) return {};
  if (stat((cls + "/partition").c_str(), &st) == 0) {
    char real[PATH_MAX];
    if (!realpath(cls.c_str(), real)) return {};
    std::string r = real;
    auto slash = r.rfind('/');
    if (slash == std::string::npos) return {};
    r.resize(slash);
    slash = r.rfind('/');
    return slash == std::string::npos ? std::string() : r.substr(slash + 1);
  }
  return dev;
}

// Undoes the octal escapes of /proc/self/mountinfo ("\040" for a blank).
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() + 0 && std::isdigit(static_cast<unsigned char>(s[i + 1]))) {
      out.push_back(static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8)));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// Removable and optical media mounted on the host, in mount order.
std::vector<DriveMapEntry> HostMedia() {
  std::vector<DriveMapEntry> out;
  if (const char* n = std::getenv("ZEMIR_NO_HOST_MEDIA"); n && *n == '1') return out;
  std::ifstream f("/proc/self/mountinfo");
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream ls(line);
    std::string id, parent, majmin, root, mountPoint, options, field;
    ls >> id >> parent >> majmin >> root >> mountPoint >> options;
    while (ls >> field && field != "-") {
    }
    std::string fstype, source;
    ls >> fstype >> source;
    if (source.rfind("/dev/", 0) != 0) continue;
    std::string dev = source.substr(5);
    std::string disk = SysfsDiskOf(dev);
    if (disk.empty()) continue;
    bool optical = disk.rfind("sr", 0) == 0;
    char real[PATH_MAX];
    std::string devLink = "/sys/block/" + disk + "/device";
    bool usb = realpath(devLink.c_str(), real) && std::strstr(real, "/usb") != nullptr;
    bool removable = ReadSysText("/sys/block/" + disk + "/removable") == "1";
    if (!optical && !usb && !removable) continue;
    DriveMapEntry e;
    e.root = Unescape(mountPoint);
    e.type = optical ? DRIVE_CDROM : DRIVE_REMOVABLE;
    e.image = source;
    e.sysfsDisk = disk;
    e.readOnly = options == "ro" || options.rfind("ro,", 0) == 0;
    out.push_back(e);
  }
  return out;
}

// The host folder that a drive letter stands for, or empty.
std::string DriveRoot(char letter) {
  DriveMapEntry e;
  if (!LookupDrive(letter, e)) return {};
  return e.root;
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

std::vector<DriveMapEntry> DriveMap() {
  std::vector<DriveMapEntry> map;
  DriveMapEntry c;
  c.letter = 'C';
  c.root = DriveC().string();
  map.push_back(c);
  DosDevices dd = ReadDosDevices();
  bool used[26] = {};
  used['C' - 'A'] = true;
  for (char l = 'A'; l <= 'Z'; ++l) {
    if (l == 'C') continue;
    std::string name = std::string(1, l) + ":";
    std::string root = dd.Text(name), image = dd.Text(name + "Image");
    if (root.empty() && image.empty()) continue;
    DriveMapEntry e;
    e.letter = l;
    e.root = root;
    e.image = image;
    e.type = static_cast<UINT>(dd.Number(name + "Type", DRIVE_FIXED));
    e.interfacePath = dd.Text(name + "Interface");
    e.readOnly = dd.Number(name + "ReadOnly", 0) == 1;
    used[l - 'A'] = true;
    map.push_back(e);
  }
  char next = 'D';
  for (DriveMapEntry& m : HostMedia()) {
    while (next <= 'Z' && used[next - 'A']) ++next;
    if (next > 'Z') break;
    m.letter = next;
    used[next - 'A'] = true;
    map.push_back(m);
  }
  std::sort(map.begin(), map.end(), [](const DriveMapEntry& a, const DriveMapEntry& b) { return a.letter < b.letter; });
  return map;
}

bool LookupDrive(char letter, DriveMapEntry& out) {
  letter = Upper(letter);
  if (letter < 'A' || letter > 'Z') return false;
  if (letter == 'C') {
    out = DriveMapEntry{};
    out.letter = 'C';
    out.root = DriveC().string();
    return true;
  }
  for (const DriveMapEntry& e : DriveMap()) {
    if (e.letter == letter) {
      out = e;
      return true;
    }
  }
  return false;
}

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
