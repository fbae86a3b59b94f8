// SPDX-License-Identifier: GPL-3.0-or-later
// Conversions between the program's multibyte strings (paths, MIME types, console
// texts), held in the conversion code page, and UTF-16.
//
// The conversion code page is the codeset of the user's locale (setlocale(LC_ALL, "")
// then nl_langinfo(CODESET)); the plain C/POSIX locale counts as UTF-8. It is chosen on
// the first call of ConversionCodePage and kept for the life of the process.
//
// Paths on Linux are bytes in no particular encoding, so in every code page but 932 (and the
// Shift_JIS locales) the conversions are lossless for them: a byte from 0x80 up that does not
// decode becomes the lone surrogate U+DC00 + byte, and such a surrogate becomes its byte
// again. Under code page 932 text that does not decode is refused.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

/// iconv name of the conversion code page ("UTF-8", "WINDOWS-31J", ...). Thread-safe; the
/// first call decides.
const char* ConversionCodePage();

/// UTF-16 copy of a NUL-terminated multibyte string, undecodable bytes escaped (see above).
/// Texts of up to 127 bytes need no heap allocation. A null input gives a null pointer.
/// Throws ComError on failure (E_OUTOFMEMORY, or the code made from errno when the text is
/// not valid in the code page and cannot be escaped).
class MultibyteToWide {
 public:
  explicit MultibyteToWide(const char* text);
  ~MultibyteToWide();
  MultibyteToWide(const MultibyteToWide&) = delete;
  MultibyteToWide& operator=(const MultibyteToWide&) = delete;

  /// The NUL-terminated UTF-16 text, or null for a null input.
  const char16_t* get() const { return text_; }
  operator const char16_t*() const { return text_; }

 private:
  char16_t* text_ = nullptr;
  char16_t* heap_ = nullptr;
  char16_t inline_[128];
};

/// Multibyte copy (conversion code page) of a NUL-terminated UTF-16 string, escapes given
/// back as their bytes. Texts of up to 63 units need no heap allocation. A null input gives a
/// null pointer. Throws ComError: E_OUTOFMEMORY, or the code for EILSEQ when the text holds
/// a character the code page lacks, a lone surrogate that is no escape, or escapes whose
/// bytes would read back as other text.
class WideToMultibyte {
 public:
  explicit WideToMultibyte(const char16_t* text);
  ~WideToMultibyte();
  WideToMultibyte(const WideToMultibyte&) = delete;
  WideToMultibyte& operator=(const WideToMultibyte&) = delete;

  /// The NUL-terminated multibyte text, or null for a null input.
  const char* get() const { return text_; }
  operator const char*() const { return text_; }

 private:
  char* text_ = nullptr;
  char* heap_ = nullptr;
  char inline_[128];
};

/// An owned UTF-16 string handed to the media detector. Null is "no string".
using Bstr = std::optional<std::u16string>;

/// UTF-16 form of `text`; std::nullopt for a null input. Throws ComError(E_OUTOFMEMORY) when
/// the string cannot be built (allocation or conversion failed).
Bstr MultibyteToBstr(const char* text);

/// The program's own texts are written in UTF-8 in the sources; this gives their bytes in the
/// conversion code page (unchanged under a UTF-8 locale). Characters the code page lacks are
/// never dropped silently: the UTF-8 text is returned as it is.
std::string ConsoleText(std::string_view utf8);

/// Length in bytes of the multibyte character that starts at `p`, at most `remaining`; 1 for
/// a byte that starts no valid character. Used to walk paths character by character so that
/// a trail byte is never taken for '/' or '.'.
std::size_t MultibyteCharLength(const char* p, std::size_t remaining);
