// Adapter binding and the shared access helpers.
#include "zemir/directory/adapter.h"

#include <cstdio>
#include <mutex>

#include "zemir/common/trace.h"
#include "zemir/platform/codepage.h"
#include "zemir/platform/module.h"

namespace zemir {

std::atomic<bool> ApOfflineMode{false};

namespace {

enum class BindState { Unbound, Bound, Failed };

struct Binding {
  std::mutex mu;
  BindState state = BindState::Unbound;
  HMODULE module = nullptr;
  ApEntryPoints api;
};

Binding& B() {
  static Binding* b = new Binding;
  return *b;
}

template <typename F>
F Resolve(HMODULE m, const char* name) {
  return reinterpret_cast<F>(GetProcAddress(m, name));
}

}  // namespace

std::u16string PartitionPath() { return std::u16string(u"LDAP://") + kPartitionDn; }
std::u16string ContainerPath(const std::u16string& container) {
  return u"LDAP://" + container + u"," + kPartitionDn;
}
std::u16string ObjectPath(const std::u16string& container, const std::u16string& name) {
  return u"LDAP://CN=" + name + u"," + container + u"," + kPartitionDn;
}
std::u16string ChildPath(const std::u16string& container, const std::u16string& child) {
  return u"LDAP://" + child + u"," + container + u"," + kPartitionDn;
}

bool load_APLib() {
  Binding& b = B();
  std::lock_guard lk(b.mu);
  if (b.state == BindState::Bound) return true;
  if (b.state == BindState::Failed) return false;
  HMODULE m = LoadLibraryA("zemir_adap.dll");
  if (!m) m = LoadLibraryA("zemir_adap64.dll");
  if (!m) {
    Trace("zemir_adap** could not be loaded gle:%X", GetLastError());
    b.state = BindState::Failed;
    return false;
  }
  ApEntryPoints a;
  a.OpenObject = Resolve<PFN_LDAP_OpenObject>(m, "LDAP_OpenObject");
  a.CloseObject = Resolve<PFN_LDAP_CloseObject>(m, "LDAP_CloseObject");
  a.FlushObject = Resolve<PFN_LDAP_FlushObject>(m, "LDAP_FlushObject");
  a.CreateObject = Resolve<PFN_LDAP_CreateObject>(m, "LDAP_CreateObject");
  a.DeleteObject = Resolve<PFN_LDAP_DeleteObject>(m, "LDAP_DeleteObject");
  a.GetAttr = Resolve<PFN_LDAP_GetAttr>(m, "LDAP_GetAttr");
  a.SetAttr = Resolve<PFN_LDAP_SetAttr>(m, "LDAP_SetAttr");
  a.GetChildren = Resolve<PFN_LDAP_GetChildren>(m, "LDAP_GetChildren");
  a.SearchChildren = Resolve<PFN_LDAP_SearchChildren>(m, "LDAP_SearchChildren");
  a.GetStatusDescription = Resolve<PFN_LDAP_GetStatusDescription>(m, "LDAP_GetStatusDescription");
  a.FreeBuffer = Resolve<PFN_LDAP_FreeBuffer>(m, "LDAP_FreeBuffer");
  a.SetVariantAttr = Resolve<PFN_LDAP_SetVariantAttr>(m, "LDAP_SetVariantAttr");
  a.IsApplicationPartitionExist = Resolve<PFN_LDAP_IsApplicationPartitionExist>(m, "LDAP_IsApplicationPartitionExist");
  a.SetLogLevel = Resolve<PFN_LDAP_SetLogLevel>(m, "LDAP_SetLogLevel");
  a.SetLogFile = Resolve<PFN_LDAP_SetLogFile>(m, "LDAP_SetLogFile");
  if (!a.IsApplicationPartitionExist || !a.SetLogLevel || !a.SetLogFile) {
    Trace("zemir_adap**, could not load API gle:%X", GetLastError());
    FreeLibrary(m);
    b.state = BindState::Failed;
    return false;
  }
  b.module = m;
  b.api = a;
  b.state = BindState::Bound;
  ApOfflineMode = false;
  return true;
}

const ApEntryPoints& ApLib() { return B().api; }

void ResetAPLibBinding() {
  Binding& b = B();
  std::lock_guard lk(b.mu);
  // The module stays loaded: the next binding gets the same one back.
  b.module = nullptr;
  b.api = ApEntryPoints();
  b.state = BindState::Unbound;
  ApOfflineMode = false;
}

namespace ap {
ApStatus OpenObject(ApHandle* h, const std::u16string& path) {
  *h = 0;
  auto f = ApLib().OpenObject;
  return f ? f(h, path.c_str(), nullptr, nullptr) : kApNotSupported;
}
ApStatus CloseObject(ApHandle h) {
  auto f = ApLib().CloseObject;
  return f ? f(h) : kApNotSupported;
}
ApStatus FlushObject(ApHandle h) {
  auto f = ApLib().FlushObject;
  return f ? f(h) : kApNotSupported;
}
ApStatus CreateObject(ApHandle* h, const std::u16string& path, const std::u16string& className) {
  *h = 0;
  auto f = ApLib().CreateObject;
  return f ? f(h, path.c_str(), className.c_str(), nullptr, nullptr) : kApNotSupported;
}
ApStatus DeleteObject(const std::u16string& path) {
  auto f = ApLib().DeleteObject;
  return f ? f(path.c_str(), nullptr, nullptr) : kApNotSupported;
}
ApStatus GetAttr(ApHandle h, const std::u16string& name, std::u16string* value, bool* hadText) {
  if (hadText) *hadText = false;
  auto f = ApLib().GetAttr;
  if (!f) return kApNotSupported;
  char16_t* text = nullptr;
  ApStatus st = f(h, name.c_str(), &text);
  if (st == 0 && text) {
    *value = text;
    if (hadText) *hadText = true;
  }
  if (text && ApLib().FreeBuffer) ApLib().FreeBuffer(text);
  return st;
}
ApStatus SetAttr(ApHandle h, const std::u16string& name, const std::u16string& value) {
  auto f = ApLib().SetAttr;
  return f ? f(h, name.c_str(), value.c_str()) : kApNotSupported;
}
ApStatus IsApplicationPartitionExist(const std::u16string& path) {
  auto f = ApLib().IsApplicationPartitionExist;
  return f ? f(path.c_str(), nullptr, nullptr) : kApNotSupported;
}
ApStatus SetLogFile(const std::u16string& file) {
  auto f = ApLib().SetLogFile;
  return f ? f(file.c_str()) : kApNotSupported;
}
ApStatus SetLogLevel(std::uint32_t level) {
  auto f = ApLib().SetLogLevel;
  return f ? f(level) : kApNotSupported;
}
}  // namespace ap

void LogAdapterError(ApStatus status) {
  if (!load_APLib()) return;
  std::string text;
  if (auto f = ApLib().GetStatusDescription) {
    char16_t* t = nullptr;
    f(status, &t);
    if (t) {
      text = WideToAnsi(t);
      if (ApLib().FreeBuffer) ApLib().FreeBuffer(t);
    }
  }
  // The Windows length modifier I32 is understood by Trace, not by the compiler's check.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
  Trace(" [ERROR] %s (0x%08I32X)\n", text.c_str(), static_cast<std::uint32_t>(status));
#pragma GCC diagnostic pop
}

bool ApObject::Open(const std::u16string& path) {
  ApHandle h = 0;
  ApStatus st = ap::OpenObject(&h, path);
  if (st != 0) {
    if (variant_ == Variant::Service || !ApOfflineMode) {
      Trace("Can't LDAP_OpenObject");
      LogAdapterError(st);
    }
    return false;
  }
  Reset(h);
  return true;
}

void ApObject::Reset(ApHandle handle) {
  if (handle_ != 0) {
    ApStatus st = ap::CloseObject(handle_);
    if (st != 0) {
      fputs("Can't LDAP_CloseObject\n", stdout);
      LogAdapterError(st);
    }
  }
  handle_ = handle;
}

bool ApFlush(ApHandle handle) {
  ApStatus st = ap::FlushObject(handle);
  if (st != 0) {
    Trace("Can't LDAP_FlushObject");
    LogAdapterError(st);
    return false;
  }
  return true;
}

bool MultiSzStr_to_List(const char16_t* buffer, long length, std::vector<std::u16string>& list) {
  if (length < 1 || !buffer) return false;
  long pos = 0;
  while (true) {
    long end = pos;
    while (end < length && buffer[end] != 0) ++end;
    if (end >= length) return false;
    if (end == pos) return true;
    list.emplace_back(buffer + pos, buffer + end);
    pos = end + 1;
  }
}

}  // namespace zemir
