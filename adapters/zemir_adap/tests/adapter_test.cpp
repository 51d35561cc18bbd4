// The adapter module through its entry points: lists, staged sets, status texts, several
// processes on one embedded store, and a server that never answers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "temp_prefix.h"
#include "zemir/common/regstore.h"
#include "zemir/directory/adapter_abi.h"
#include "zemir/platform/codepage.h"
#include "zemir/platform/module.h"

namespace zemir {
namespace {

struct Api {
  HMODULE m = LoadLibraryA("zemir_adap.dll");
  template <typename F>
  F Get(const char* n) {
    return reinterpret_cast<F>(GetProcAddress(m, n));
  }
  PFN_LDAP_OpenObject Open = Get<PFN_LDAP_OpenObject>("LDAP_OpenObject");
  PFN_LDAP_CloseObject Close = Get<PFN_LDAP_CloseObject>("LDAP_CloseObject");
  PFN_LDAP_FlushObject Flush = Get<PFN_LDAP_FlushObject>("LDAP_FlushObject");
  PFN_LDAP_CreateObject Create = Get<PFN_LDAP_CreateObject>("LDAP_CreateObject");
  PFN_LDAP_DeleteObject Delete = Get<PFN_LDAP_DeleteObject>("LDAP_DeleteObject");
  PFN_LDAP_GetAttr GetAttr = Get<PFN_LDAP_GetAttr>("LDAP_GetAttr");
  PFN_LDAP_SetAttr SetAttr = Get<PFN_LDAP_SetAttr>("LDAP_SetAttr");
  PFN_LDAP_SetVariantAttr SetVariant = Get<PFN_LDAP_SetVariantAttr>("LDAP_SetVariantAttr");
  PFN_LDAP_GetChildren Children = Get<PFN_LDAP_GetChildren>("LDAP_GetChildren");
  PFN_LDAP_SearchChildren Search = Get<PFN_LDAP_SearchChildren>("LDAP_SearchChildren");
  PFN_LDAP_IsApplicationPartitionExist Exists = Get<PFN_LDAP_IsApplicationPartitionExist>("LDAP_IsApplicationPartitionExist");
  PFN_LDAP_GetStatusDescription Describe = Get<PFN_LDAP_GetStatusDescription>("LDAP_GetStatusDescription");
  PFN_LDAP_FreeBuffer Free = Get<PFN_LDAP_FreeBuffer>("LDAP_FreeBuffer");
  PFN_LDAP_SetLogFile SetLogFile = Get<PFN_LDAP_SetLogFile>("LDAP_SetLogFile");
  PFN_LDAP_SetLogLevel SetLogLevel = Get<PFN_LDAP_SetLogLevel>("LDAP_SetLogLevel");

  std::string Text(ApStatus st) {
    char16_t* t = nullptr;
    Describe(st, &t);
    std::string s = t ? WideToUtf8(t) : "";
    Free(t);
    return s;
  }
  std::string Attr(ApHandle h, const char16_t* name) {
    char16_t* t = nullptr;
    if (GetAttr(h, name, &t) != 0) return "<none>";
    std::string s = WideToUtf8(t);
    Free(t);
    return s;
  }
  ApHandle Make(const std::u16string& path, const char16_t* cls) {
    ApHandle h = 0;
    EXPECT_EQ(Create(&h, path.c_str(), cls, nullptr, nullptr), 0) << WideToUtf8(path);
    return h;
  }
};

void Partition(Api& a) {
  ApHandle h = a.Make(u"LDAP://DC=Zemir,DC=com", u"domain");
  a.Close(h);
  a.Close(a.Make(u"LDAP://CN=GlobalKeys,DC=Zemir,DC=com", u"zmContainer"));
}

TEST(Adapter, ObjectsListsAndStagedSets) {
  test::TempPrefix p;
  Api a;
  ASSERT_TRUE(a.m) << platform::LastLoadError();
  a.SetLogFile(Utf8ToWide(p.path() + "/ap.log").c_str());
  a.SetLogLevel(2);
  EXPECT_NE(a.Exists(u"LDAP://DC=Zemir,DC=com", nullptr, nullptr), 0);
  Partition(a);
  EXPECT_EQ(a.Exists(u"LDAP://DC=Zemir,DC=com", nullptr, nullptr), 0);

  ApHandle h = a.Make(u"LDAP://CN=k1,CN=GlobalKeys,DC=Zemir,DC=com", u"zmGlobalKey");
  EXPECT_EQ(a.SetAttr(h, u"zmUserName", u"anna"), 0);
  std::int32_t n = 42;
  EXPECT_EQ(a.SetVariant(h, u"zmKeyType", 1, &n), 0);
  EXPECT_EQ(a.SetAttr(h, u"zmUserPolicy", u""), 0);
  EXPECT_EQ(a.Attr(h, u"zmUserName"), "anna");  // staged values read back before the flush
  ApHandle other = 0;
  ASSERT_EQ(a.Open(&other, u"LDAP://cn=K1,cn=globalkeys,dc=zemir,dc=com", nullptr, nullptr), 0);
  EXPECT_EQ(a.Attr(other, u"zmUserName"), "<none>");  // ...and reach the directory on the flush
  EXPECT_EQ(a.Flush(h), 0);
  a.Close(other);
  ASSERT_EQ(a.Open(&other, u"LDAP://CN=k1,CN=GlobalKeys,DC=Zemir,DC=com", nullptr, nullptr), 0);
  EXPECT_EQ(a.Attr(other, u"ZMUSERNAME"), "anna");
  EXPECT_EQ(a.Attr(other, u"zmKeyType"), "42");
  EXPECT_EQ(a.Attr(other, u"zmUserPolicy"), " ");
  EXPECT_EQ(a.Attr(other, u"uSNCreated"), "3");
  a.Close(other);
  a.Close(h);
  EXPECT_EQ(a.Close(h), kApInvalidHandle);
  a.Close(a.Make(u"LDAP://CN=k2,CN=GlobalKeys,DC=Zemir,DC=com", u"zmGlobalKey"));

  ApHandle c = 0;
  ASSERT_EQ(a.Open(&c, u"LDAP://CN=GlobalKeys,DC=Zemir,DC=com", nullptr, nullptr), 0);
  char16_t* list = nullptr;
  std::uint32_t len = 0;
  ASSERT_EQ(a.Children(c, &list, &len), 0);
  EXPECT_EQ(std::u16string(list, len), std::u16string(u"CN=k1\0CN=k2\0\0", 13));
  a.Free(list);
  ASSERT_EQ(a.Search(c, u"(zmUserName=ANNA)", &list, &len), 0);
  EXPECT_EQ(std::u16string(list, len), std::u16string(u"LDAP://CN=k1,CN=GlobalKeys,DC=Zemir,DC=com\0\0", 44));
  a.Free(list);
  ASSERT_EQ(a.Search(c, u"(zmUserName=nobody)", &list, &len), 0);
  EXPECT_EQ(len, 1u);
  a.Free(list);
  ApStatus st = a.Search(c, u"(zmUserName=anna", &list, &len);
  EXPECT_EQ(st, ApStatusFromLdap(87));
  EXPECT_EQ(a.Text(st), "bad search filter (zmUserName=anna");
  a.Close(c);

  // Status texts an administrator can act on.
  st = a.Create(&h, u"LDAP://CN=k1,CN=GlobalKeys,DC=Zemir,DC=com", u"zmGlobalKey", nullptr, nullptr);
  EXPECT_EQ(a.Text(st), "already exists CN=k1,CN=GlobalKeys,DC=Zemir,DC=com");
  st = a.Open(&h, u"LDAP://CN=x,CN=Nowhere,DC=Zemir,DC=com", nullptr, nullptr);
  EXPECT_EQ(a.Text(st), "no such object CN=x,CN=Nowhere,DC=Zemir,DC=com");
  EXPECT_EQ(a.Text(ApStatusFromLdap(49)), "Invalid credentials");  // not the last failure: generic text
  st = a.Delete(u"LDAP://CN=GlobalKeys,DC=Zemir,DC=com", nullptr, nullptr);
  EXPECT_NE(st, 0);
  EXPECT_EQ(a.Text(st), "CN=GlobalKeys,DC=Zemir,DC=com still has child objects");
  EXPECT_EQ(a.Open(&h, u"not a path", nullptr, nullptr), kApInvalidArg);
  EXPECT_NE(test::ReadFile(p.path() + "/ap.log").find("create CN=k1,CN=GlobalKeys,DC=Zemir,DC=com (zmGlobalKey)"),
            std::string::npos);
}

TEST(Adapter, SeveralProcessesShareTheEmbeddedStore) {
  test::TempPrefix p;
  Api a;
  Partition(a);
  // Two child processes and this one create records at the same time.
  std::vector<pid_t> kids;
  for (int k = 0; k < 2; ++k) {
    pid_t pid = fork();
    if (pid == 0) {
      Api c;
      int bad = 0;
      for (int i = 0; i < 100; ++i) {
        std::u16string path = Utf8ToWide("LDAP://CN=p" + std::to_string(k) + "-" + std::to_string(i) + ",CN=GlobalKeys,DC=Zemir,DC=com");
        ApHandle h = 0;
        if (c.Create(&h, path.c_str(), u"zmGlobalKey", nullptr, nullptr) != 0) ++bad;
        else if (c.SetAttr(h, u"zmUserName", u"u") != 0 || c.Flush(h) != 0) ++bad;
        c.Close(h);
      }
      _exit(bad);
    }
    kids.push_back(pid);
  }
  for (int i = 0; i < 100; ++i) {
    std::u16string path = Utf8ToWide("LDAP://CN=m-" + std::to_string(i) + ",CN=GlobalKeys,DC=Zemir,DC=com");
    a.Close(a.Make(path, u"zmGlobalKey"));
  }
  for (pid_t k : kids) {
    int status = 0;
    waitpid(k, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ApHandle c = 0;
  ASSERT_EQ(a.Open(&c, u"LDAP://CN=GlobalKeys,DC=Zemir,DC=com", nullptr, nullptr), 0);
  char16_t* list = nullptr;
  std::uint32_t len = 0;
  ASSERT_EQ(a.Search(c, u"(zmUserName=u)", &list, &len), 0);
  int count = 0;
  for (std::uint32_t i = 0; i + 1 < len; ++i) count += list[i] == 0;
  EXPECT_EQ(count, 200);
  a.Free(list);
  a.Close(c);
}

TEST(Adapter, SilentServerReturnsWithinBoundedTime) {
  test::TempPrefix p;
  // A server that accepts the connection and never answers.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof addr;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(s, 8), 0);
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &alen);
  std::string uri = "ldap://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DirectoryURI", uri.c_str());
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DirectoryTimeout", "1");
  Api a;
  auto t0 = std::chrono::steady_clock::now();
  ApHandle h = 0;
  ApStatus st = a.Open(&h, u"LDAP://DC=Zemir,DC=com", nullptr, nullptr);
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_NE(st, 0);
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_NE(a.Text(st).find(uri), std::string::npos) << a.Text(st);
  close(s);
  // Nobody listening at all: "server down at ...".
  st = a.Open(&h, u"LDAP://DC=Zemir,DC=com", nullptr, nullptr);
  EXPECT_NE(a.Text(st).find("server down at " + uri), std::string::npos) << a.Text(st);
}

}  // namespace
}  // namespace zemir
