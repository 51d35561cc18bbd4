#include "zemir/platform/codepage.h"

#include <gtest/gtest.h>

#include "temp_prefix.h"
#include "zemir/platform/registry.h"

using namespace zemir;

TEST(CodePage, DefaultsTo1252AndFollowsTheRegistry) {
  test::TempPrefix prefix;
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(WideToAnsi(u"caf\u00e9"), "caf\xe9");
  EXPECT_EQ(AnsiToWide("caf\xe9"), u"caf\u00e9");
  EXPECT_EQ(AnsiToWide("\x80"), u"\u20ac");
  EXPECT_EQ(AnsiToWide("\x81"), u"\u0081");  // undefined in 1252, kept as U+0081

  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", KEY_ALL_ACCESS, &k),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "ACP", REG_SZ, reinterpret_cast<const BYTE*>("1251"), 5), ERROR_SUCCESS);
  RegCloseKey(k);
  ResetACPCache();
  EXPECT_EQ(GetACP(), 1251u);
  EXPECT_EQ(WideToAnsi(u"\u0416"), "\xc6");  // Cyrillic Zhe
}

TEST(CodePage, UnmappableBecomesQuestionMarkNeverCut) {
  test::TempPrefix prefix;
  // CJK, an astral character (one "?" for the pair), a lone surrogate, then more text.
  std::u16string w = u"a\u4e2db\U0001F600c";
  w.push_back(0xD800);
  w += u"d\u00e9";
  EXPECT_EQ(WideToAnsi(w, 1252), "a?b?c?d\xe9");
  EXPECT_EQ(WideToUtf8(u"\u00e9\u4e2d"), "\xc3\xa9\xe4\xb8\xad");
  EXPECT_EQ(Utf8ToWide("\xc3\xa9\xff" "x"), u"\u00e9\ufffdx");
  std::u16string big(100000, u'\u00fc');
  EXPECT_EQ(WideToAnsi(big, 1252).size(), 100000u);
  EXPECT_EQ(AnsiToWide(std::string(70000, 'z')).size(), 70000u);
}
