// Disk interfaces from sysfs (USB disks as usbstor paths, others as scsi paths) and device numbers.
#include "zemir/platform/disk.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

#include "zemir/platform/drives.h"
#include "zemir/platform/fs.h"
#include "zemir/platform/module.h"

namespace zemir::platform {

namespace {

constexpr const char* kDiskClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::string ReadSys(const std::string& path) {
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.pop_back();
  return s;
}

// Windows' spelling of an identification field: blanks become "_", at most `max` characters.
std::string IdField(std::string s, size_t max) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  if (s.size() > max) s.resize(max);
  for (char& c : s) c = c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsDiskName(const std::string& n) {
  return n.rfind("sd", 0) == 0 || n.rfind("vd", 0) == 0 || n.rfind("xvd", 0) == 0 || n.rfind("hd", 0) == 0 ||
         n.rfind("nvme", 0) == 0 || n.rfind("mmcblk", 0) == 0;
}

std::string Hex8(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "%x", v);
  return b;
}

// The interface path of a host disk, rebuilt from its sysfs attributes.
std::string InterfacePathOf(const std::string& disk, unsigned index) {
  std::string dev = "/sys/block/" + disk + "/device";
  std::string vendor = ReadSys(dev + "/vendor"), model = ReadSys(dev + "/model"), rev = ReadSys(dev + "/rev");
  char real[PATH_MAX];
  std::string path = realpath(dev.c_str(), real) ? std::string(real) : std::string();
  std::string serial;
  bool usb = path.find("/usb") != std::string::npos;
  if (usb) {
    // The USB device is the nearest ancestor with a "serial" attribute next to idVendor.
    std::string p = path;
    while (!p.empty() && p != "/sys") {
      struct stat st{};
      if (stat((p + "/idVendor").c_str(), &st) == 0) {
        serial = ReadSys(p + "/serial");
        break;
      }
      auto slash = p.rfind('/');
      if (slash == std::string::npos) break;
      p.resize(slash);
    }
  }
  unsigned hash = 2166136261u;
  for (char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  std::string out = "\\\\?\\";
  if (usb) {
    out += "usbstor#disk&ven_" + IdField(vendor, 8) + "&prod_" + IdField(model, 16) + "&rev_" + IdField(rev, 4) + "#";
    // Without a serial Windows makes an instance identifier of its own.
    out += serial.empty() ? "7&" + Hex8(hash) + "&0" : IdField(serial, 64);
    out += "&0#";
  } else {
    if (vendor.empty()) vendor = disk.rfind("nvme", 0) == 0 ? "NVMe" : disk.rfind("vd", 0) == 0 ? "Red_Hat" : "ATA";
    if (model.empty()) model = ReadSys("/sys/block/" + disk + "/device/model");
    if (model.empty()) model = disk.rfind("vd", 0) == 0 ? "VirtIO" : "Disk";
    out += "scsi#disk&ven_" + IdField(vendor, 8) + "&prod_" + IdField(model, 16) + "#4&" + Hex8(hash) + "&0&0000" +
           std::to_string(index) + "00#";
  }
  out += kDiskClass;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> HostDisks() {
  std::vector<std::string> disks;
  if (DIR* d = opendir("/sys/block")) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (IsDiskName(n)) disks.push_back(n);
    }
    closedir(d);
  }
  std::sort(disks.begin(), disks.end());
  return disks;
}

}  // namespace

bool ListDiskInterfaces(std::vector<DiskInterface>& out) {
  out.clear();
  struct stat st{};
  if (stat("/sys/block", &st) != 0) {
    SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  std::vector<std::string> disks = HostDisks();
  for (unsigned i = 0; i < disks.size(); ++i) out.push_back({InterfacePathOf(disks[i], i), i});
  DWORD next = static_cast<DWORD>(disks.size());
  for (const DriveMapEntry& e : DriveMap()) {
    if (e.interfacePath.empty()) continue;
    bool known = std::any_of(out.begin(), out.end(), [&](const DiskInterface& d) {
      return strcasecmp(d.devicePath.c_str(), e.interfacePath.c_str()) == 0;
    });
    if (!known) out.push_back({e.interfacePath, next++});
  }
  return true;
}

bool QueryDeviceNumber(const std::string& path, DWORD* number, bool* numberKnown) {
  if (number) *number = 0;
  if (numberKnown) *numberKnown = false;
  std::vector<DiskInterface> disks;
  char letter = DriveLetterOf(path);
  if (letter) {
    DriveMapEntry e;
    if (!LookupDrive(letter, e)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    std::string want = e.interfacePath;
    if (want.empty() && !e.sysfsDisk.empty()) {
      std::vector<std::string> host = HostDisks();
      auto it = std::find(host.begin(), host.end(), e.sysfsDisk);
      if (it != host.end()) {
        if (number) *number = static_cast<DWORD>(it - host.begin());
        if (numberKnown) *numberKnown = true;
      }
      return true;
    }
    if (want.empty()) return true;  // a folder without a disk: the request fails
    ListDiskInterfaces(disks);
    for (const DiskInterface& d : disks) {
      if (strcasecmp(d.devicePath.c_str(), want.c_str()) == 0) {
        if (number) *number = d.deviceNumber;
        if (numberKnown) *numberKnown = true;
      }
    }
    return true;
  }
  ListDiskInterfaces(disks);
  for (const DiskInterface& d : disks) {
    if (strcasecmp(d.devicePath.c_str(), path.c_str()) == 0) {
      if (number) *number = d.deviceNumber;
      if (numberKnown) *numberKnown = true;
      return true;
    }
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return false;
}

}  // namespace zemir::platform
