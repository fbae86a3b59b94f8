// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the text conversions on arbitrary bytes, in whatever code page the locale
// gives the process (UTF-8 by default; scripts/fuzz.sh and the corpus replay also run it
// under a CP932 locale). The input is read both as a multibyte string (up to its first NUL)
// and as UTF-16 units (pairs of bytes, up to the first zero unit).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/com.h"
#include "platform/text_conv.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::uint8_t* data, std::size_t size) {
  std::fprintf(stderr, "text_conv_fuzzer (%s): %s\ninput:", ConversionCodePage(), what);
  for (std::size_t i = 0; i < size; ++i) std::fprintf(stderr, " %02X", data[i]);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool IsUtf8() { return std::strcmp(ConversionCodePage(), "UTF-8") == 0; }

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Code points in a converted text: units less the trail halves of surrogate pairs (a lone
// low surrogate, the escape of an undecodable byte, counts as one).
std::size_t CodePoints(const char16_t* text) {
  std::size_t n = 0;
  for (std::size_t i = 0; text[i] != u'\0'; ++i) {
    if (!(IsLowSurrogate(text[i]) && i > 0 && IsHighSurrogate(text[i - 1]))) ++n;
  }
  return n;
}

void MultibyteSide(const std::string& text, const std::uint8_t* data, std::size_t size) {
  // The character walk: every step is 1 to 4 bytes and never runs past the end.
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t step = MultibyteCharLength(text.data() + i, text.size() - i);
    if (step == 0 || step > 4 || step > text.size() - i) Fail("bad character length", data, size);
    i += step;
    ++characters;
  }
  if (MultibyteCharLength(text.c_str(), 0) != 0) Fail("a length in no bytes", data, size);

  std::u16string wide;
  bool valid = true;
  try {
    MultibyteToWide converted(text.c_str());
    if (converted.get() == nullptr) Fail("a null result for a string", data, size);
    wide = converted.get();
  } catch (const ComError& e) {
    if (!Failed(e.code())) Fail("a failure with a success code", data, size);
    valid = false;
  }
  // The BSTR holds the same text, or fails where the holder fails.
  try {
    Bstr bstr = MultibyteToBstr(text.c_str());
    if (!valid || !bstr || *bstr != wide) Fail("the BSTR disagrees with the holder", data, size);
  } catch (const ComError& e) {
    if (valid || e.code() != E_OUTOFMEMORY) Fail("the BSTR failed differently", data, size);
  }
  // Under UTF-8 every name converts: bytes that do not decode are escaped.
  if (IsUtf8() && !valid) Fail("a UTF-8 name did not convert", data, size);
  if (!valid) return;

  // Converted text: the walk counted its characters, an undecodable byte as one (the code
  // pages we meet hold no character that UTF-16 splits but the walk does not), and it
  // converts back.
  if (characters != CodePoints(wide.c_str())) Fail("the walk miscounts characters", data, size);
  std::string back;
  try {
    WideToMultibyte converted(wide.c_str());
    back = converted.get();
  } catch (const ComError&) {
    Fail("converted text does not convert back", data, size);
  }
  if (IsUtf8()) {
    if (back != text) Fail("UTF-8 text does not come back byte for byte", data, size);
  } else {
    // A code page may map two byte forms to one character (CP932 does); the text read
    // back must at least give the same characters.
    MultibyteToWide again(back.c_str());
    if (wide != again.get()) Fail("text does not come back to the same characters", data, size);
  }
  // The program's own texts are UTF-8; under a UTF-8 locale they are written unchanged.
  if (IsUtf8() && ConsoleText(text) != text) Fail("ConsoleText changed UTF-8 text", data, size);
}

void WideSide(const std::u16string& wide, const std::uint8_t* data, std::size_t size) {
  std::string narrow;
  try {
    WideToMultibyte converted(wide.c_str());
    if (converted.get() == nullptr) Fail("a null result for a string", data, size);
    narrow = converted.get();
  } catch (const ComError& e) {
    if (!Failed(e.code())) Fail("a failure with a success code", data, size);
    return;
  }
  // Under UTF-8, what came out must read back as the very same UTF-16 text: a lone
  // surrogate that is no escape, or escapes that would read back as a character, must
  // fail, never be replaced silently. A code page may map a character it
  // lacks to a look-alike (CP932 writes U+00A3 as its full-width pound sign), but what it
  // wrote must then be stable: a path that went through once goes through again unchanged.
  try {
    MultibyteToWide again(narrow.c_str());
    if (IsUtf8() && wide != again.get()) Fail("UTF-16 text changed on its way through", data, size);
    WideToMultibyte twice(again.get());
    if (narrow != twice.get()) Fail("converted text is not stable", data, size);
  } catch (const ComError&) {
    Fail("multibyte text made by the conversion does not convert", data, size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  MultibyteSide(std::string(bytes, strnlen(bytes, size)), data, size);

  std::u16string wide;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == u'\0') break;
    wide += unit;
  }
  WideSide(wide, data, size);

  // ConsoleText never loses text: whatever it is given comes out non-empty.
  const std::string_view view(bytes, size);
  if (!view.empty() && ConsoleText(view).empty()) Fail("ConsoleText lost the text", data, size);
  return 0;
}
