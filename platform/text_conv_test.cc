// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/text_conv.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/com.h"
#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"

namespace {

// 表 and ソ in CP932: their second byte is 0x5C, the byte of a backslash.
constexpr char kHyouCp932[] = "\x95\x5C";
constexpr char kSoCp932[] = "\x83\x5C";

std::string Hex(const std::string& bytes) {
  std::string hex;
  char digits[4];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", c);
    hex += digits;
  }
  return hex;
}

std::string Hex16(const char16_t* text) {
  std::string hex;
  char digits[6];
  for (; *text != u'\0'; ++text) {
    std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(*text));
    hex += digits;
  }
  return hex;
}

template <typename Holder>
bool UsesInlineBuffer(const Holder& holder) {
  auto text = reinterpret_cast<const char*>(holder.get());
  auto self = reinterpret_cast<const char*>(&holder);
  return text >= self && text < self + sizeof holder;
}

HRESULT CodeOfConversion(const char* text) {
  try {
    MultibyteToWide wide(text);
  } catch (const ComError& e) {
    return e.code();
  }
  return S_OK;
}

// Run in a child under a CP932 locale (see Cp932Locale below): prints one line per finding,
// name=value, and exits before any test starts.
void ProbeUnderCurrentLocale() {
  std::printf("codepage=%s\n", ConversionCodePage());
  std::string path = std::string("/v/") + kHyouCp932 + kSoCp932 + ".avi";
  std::printf("wide=%s\n", Hex16(MultibyteToWide(path.c_str())).c_str());
  std::string back(WideToMultibyte(MultibyteToWide(path.c_str())));
  std::printf("back=%s\n", Hex(back).c_str());
  // A path of more than 128 bytes goes through the heap and must give the same characters.
  std::string long_path = "/";
  for (int i = 0; i < 70; ++i) long_path += kHyouCp932;
  MultibyteToWide long_wide(long_path.c_str());
  std::printf("long_inline=%d long_wide=%s\n", UsesInlineBuffer(long_wide) ? 1 : 0,
              Hex16(long_wide).c_str());
  WideToMultibyte long_back(long_wide);
  std::printf("long_back_inline=%d long_back_same=%d\n", UsesInlineBuffer(long_back) ? 1 : 0,
              std::string(long_back) == long_path ? 1 : 0);
  Bstr bstr = MultibyteToBstr(path.c_str());
  std::printf("bstr=%s\n", Hex16(bstr->c_str()).c_str());
  std::printf("console=%s\n", Hex(ConsoleText("出力ファイル")).c_str());
  std::printf("len_hyou=%zu len_so=%zu len_ascii=%zu len_cut=%zu\n",
              MultibyteCharLength(kHyouCp932, 2), MultibyteCharLength(kSoCp932, 2),
              MultibyteCharLength("\\x", 2), MultibyteCharLength(kHyouCp932, 1));
  // 0x81 is a lead byte; a space cannot follow it.
  std::printf("invalid=%08X\n", static_cast<unsigned>(CodeOfConversion("ab\x81 cd")));
  HRESULT bstr_code = S_OK;
  try {
    MultibyteToBstr("ab\x81 cd");
  } catch (const ComError& e) {
    bstr_code = e.code();
  }
  std::printf("bstr_invalid=%08X\n", static_cast<unsigned>(bstr_code));
  // Under code page 932 no surrogate stands for a byte.
  HRESULT escape_code = S_OK;
  try {
    WideToMultibyte narrow(u"ab\xDC81");
  } catch (const ComError& e) {
    escape_code = e.code();
  }
  std::printf("escape=%08X\n", static_cast<unsigned>(escape_code));
}

const bool kProbed = [] {
  if (std::getenv("VGRID_TEXT_CONV_PROBE") == nullptr) return false;
  ProbeUnderCurrentLocale();
  std::fflush(stdout);
  std::_Exit(0);
}();

std::string Line(const std::string& output, const std::string& name) {
  std::size_t start = output.find(name + "=");
  if (start == std::string::npos) return "<missing " + name + ">";
  start += name.size() + 1;
  return output.substr(start, output.find_first_of(" \n", start) - start);
}

void SkipUnlessUtf8() {
  if (std::string(ConversionCodePage()) != "UTF-8")
    GTEST_SKIP() << "the tests' own locale is " << ConversionCodePage() << ", not UTF-8";
}

TEST(TextConvTest, NullInputsGiveNull) {
  EXPECT_EQ(MultibyteToWide(nullptr).get(), nullptr);
  EXPECT_EQ(WideToMultibyte(nullptr).get(), nullptr);
  EXPECT_FALSE(MultibyteToBstr(nullptr).has_value());
}

TEST(TextConvTest, Utf8PathsRoundTripThroughUtf16) {
  SkipUnlessUtf8();
  // A byte that does not decode stands for the lone surrogate U+DC00 + byte, and comes back
  // as that byte: a name in another encoding still names its file.
  const struct {
    std::string bytes;
    std::u16string wide;
  } cases[] = {
      {"/v/clip.表ソ\xF0\x9F\x8E\xA5", u"/v/clip.\u8868\u30BD\U0001F3A5"},
      {"", u""},
      {"/v/caf\xE9.mp4", u"/v/caf\xDCE9.mp4"},                  // Latin-1
      {"/v/\x95\x5C\x83\x5C.avi", u"/v/\xDC95\\\xDC83\\.avi"},  // CP932: 表ソ
      {"ab\xFF", u"ab\xDCFF"},
      {"\xC0\xAF", u"\xDCC0\xDCAF"},                            // overlong '/'
      {"\xED\xB3\xA9", u"\xDCED\xDCB3\xDCA9"},                  // U+DCE9 written in UTF-8
      {"表\xE8\xA1", u"\u8868\xDCE8\xDCA1"},                    // cut short at the end
      {std::string(200, '\xC3'), std::u16string(200, 0xDCC3)},  // through the heap
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.bytes));
    MultibyteToWide wide(c.bytes.c_str());
    EXPECT_EQ(Hex16(wide), Hex16(c.wide.c_str()));
    EXPECT_EQ(MultibyteToBstr(c.bytes.c_str()).value(), c.wide);
    EXPECT_EQ(Hex(WideToMultibyte(c.wide.c_str()).get()), Hex(c.bytes));
  }
}

TEST(TextConvTest, LongTextsUseTheHeapAndConvertTheSame) {
  SkipUnlessUtf8();
  // 127 bytes and the terminator fit the inline buffer; one more byte does not.
  std::string fits(127, 'a');
  std::string spills(128, 'a');
  MultibyteToWide fits_wide(fits.c_str());
  MultibyteToWide spills_wide(spills.c_str());
  EXPECT_TRUE(UsesInlineBuffer(fits_wide));
  EXPECT_FALSE(UsesInlineBuffer(spills_wide));
  EXPECT_EQ(std::u16string(spills_wide.get()), std::u16string(128, u'a'));

  std::u16string units63(63, u'b'), units64(64, u'b');
  WideToMultibyte fits_narrow(units63.c_str());
  WideToMultibyte spills_narrow(units64.c_str());
  EXPECT_TRUE(UsesInlineBuffer(fits_narrow));
  EXPECT_FALSE(UsesInlineBuffer(spills_narrow));
  EXPECT_EQ(std::string(spills_narrow.get()), std::string(64, 'b'));

  // 50 characters of three UTF-8 bytes each: 100 bytes by the two-bytes-a-unit estimate,
  // 150 in fact. The text must come out whole, not fail for want of room.
  std::u16string japanese(50, u'\u8868');
  std::string expected;
  for (int i = 0; i < 50; ++i) expected += "表";
  WideToMultibyte narrow(japanese.c_str());
  EXPECT_EQ(std::string(narrow.get()), expected);
  std::string path = "/movies/" + expected + "/" + std::string(300, 'x') + ".avi";
  EXPECT_STREQ(WideToMultibyte(MultibyteToWide(path.c_str())).get(), path.c_str());
}

TEST(TextConvTest, InvalidTextThrowsItsResultCode) {
  SkipUnlessUtf8();
  // UTF-16 that no bytes stand for: a lone surrogate that is no escape (a high one, or one
  // for an ASCII byte), or escapes whose bytes would read back as "é".
  const std::u16string invalid[] = {{u'a', 0xD800, u'b'}, {u'a', 0xDC2F}, {0xDCC3, 0xDCA9}};
  for (const std::u16string& text : invalid) {
    try {
      WideToMultibyte narrow(text.c_str());
      ADD_FAILURE() << Hex16(text.c_str()) << " converted to " << Hex(narrow.get());
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), HresultFromErrno(EILSEQ)) << Hex16(text.c_str());
    }
  }
}

TEST(TextConvTest, Utf8CharacterLengths) {
  SkipUnlessUtf8();
  EXPECT_EQ(MultibyteCharLength("a", 1), 1u);
  EXPECT_EQ(MultibyteCharLength("表", 3), 3u);
  EXPECT_EQ(MultibyteCharLength("\xF0\x9F\x8E\xA5", 4), 4u);
  EXPECT_EQ(MultibyteCharLength("表", 2), 1u);  // cut short: a byte on its own
  EXPECT_EQ(MultibyteCharLength("\xFF", 1), 1u);
  EXPECT_EQ(MultibyteCharLength("\xC0\xAF", 2), 1u);      // overlong '/'
  EXPECT_EQ(MultibyteCharLength("\xED\xA0\x80", 3), 1u);  // surrogate
  EXPECT_EQ(MultibyteCharLength("", 0), 0u);
  EXPECT_EQ(ConsoleText("出力ファイル"), "出力ファイル");
}

TEST(TextConvTest, CodePageIsChosenOnceForAllThreads) {
  std::vector<const char*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = ConversionCodePage(); });
  for (auto& t : threads) t.join();
  for (const char* page : seen) EXPECT_EQ(page, ConversionCodePage());
}

TEST(TextConvTest, Cp932LocaleConvertsDoubleByteCharacters) {
  TempDir dir;
  std::string why;
  std::vector<std::string> env =
      CompileLocale(dir.path(), "ja_JP", "WINDOWS-31J", "ja_JP.WINDOWS-31J", &why);
  if (env.empty()) GTEST_SKIP() << "no CP932 locale: " << why;
  env.push_back("VGRID_TEXT_CONV_PROBE=1");
  RunOptions options;
  options.set_env = env;
  RunResult run = RunBinary("/proc/self/exe", {}, options);
  ASSERT_EQ(run.exit_code, 0) << run.start_error << run.err;
  const std::string& out = run.out;
  EXPECT_EQ(Line(out, "codepage"), "WINDOWS-31J");
  EXPECT_EQ(Line(out, "wide"), "002F0076002F886830BD002E006100760069");
  EXPECT_EQ(Line(out, "back"), "2F762F955C835C2E617669");
  std::string long_wide = "002F";
  for (int i = 0; i < 70; ++i) long_wide += "8868";
  EXPECT_EQ(Line(out, "long_inline"), "0");
  EXPECT_EQ(Line(out, "long_wide"), long_wide);
  EXPECT_EQ(Line(out, "long_back_inline"), "0");
  EXPECT_EQ(Line(out, "long_back_same"), "1");
  EXPECT_EQ(Line(out, "bstr"), "002F0076002F886830BD002E006100760069");
  EXPECT_EQ(Line(out, "console"), "8F6F97CD837483408343838B");
  EXPECT_EQ(Line(out, "len_hyou"), "2");
  EXPECT_EQ(Line(out, "len_so"), "2");
  EXPECT_EQ(Line(out, "len_ascii"), "1");
  EXPECT_EQ(Line(out, "len_cut"), "1");
  char invalid[16];
  std::snprintf(invalid, sizeof invalid, "%08X", static_cast<unsigned>(HresultFromErrno(EILSEQ)));
  EXPECT_EQ(Line(out, "invalid"), invalid);
  EXPECT_EQ(Line(out, "escape"), invalid);
  EXPECT_EQ(Line(out, "bstr_invalid"), "8007000E");  // E_OUTOFMEMORY
}

}  // namespace
