// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/text_conv.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/com.h"

// char16_t strings are handed to iconv as "UTF-16LE" bytes; that only holds on a
// little-endian machine.
static_assert(std::endian::native == std::endian::little, "UTF-16LE is the native char16_t order");

namespace {

constexpr char kUtf16[] = "UTF-16LE";
constexpr char kUtf8[] = "UTF-8";

std::atomic<const char*> g_code_page{nullptr};
std::once_flag g_code_page_once;

// The locale's codeset, with the plain C/POSIX locale read as UTF-8: its codeset is ASCII,
// of which UTF-8 is a superset, and paths on Linux are UTF-8 far more often than not.
const char* ChooseCodePage() {
  std::setlocale(LC_ALL, "");
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || *codeset == '\0' || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
      std::strcmp(codeset, "ASCII") == 0 || std::strcmp(codeset, "US-ASCII") == 0) {
    return kUtf8;
  }
  // nl_langinfo's buffer may be reused by a later setlocale; the choice lives for the whole
  // process, so it gets its own copy, never freed.
  return strdup(codeset);
}

bool IsUtf8(const char* code_page) {
  return std::strcmp(code_page, "UTF-8") == 0 || std::strcmp(code_page, "utf8") == 0;
}

// Code page 932 and the Shift_JIS locales it stands for convert as that code page does,
// refusing what it cannot read; every other code page keeps undecodable bytes (see below).
bool IsCodePage932(const char* code_page) {
  for (const char* name : {"WINDOWS-31J", "CP932", "MS932", "SHIFT_JIS", "SHIFT-JIS", "SJIS",
                           "MS_KANJI", "CSSHIFTJIS", "CSWINDOWS31J"}) {
    if (strcasecmp(code_page, name) == 0) return true;
  }
  return false;
}

bool EscapesUndecodableBytes() {
  static const bool escapes = !IsCodePage932(ConversionCodePage());
  return escapes;
}

// A byte that does not decode in the code page stands in UTF-16 for the lone low surrogate
// U+DC00 + byte, as Python's "surrogateescape" does: on Linux a file name is bytes, and a
// name in another encoding than the locale's (Latin-1 from an old disk, a Windows share)
// must still open, and name its sheet, byte for byte. Only bytes from 0x80 up are escaped:
// an ASCII byte that does not decode belongs to a stateful encoding, and its text is refused.
constexpr char16_t kFirstEscape = 0xDC80;
constexpr char16_t kLastEscape = 0xDCFF;

// Owner of one iconv descriptor.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (!ok()) open_error_ = errno;
  }
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }
  int open_error() const { return open_error_; }

 private:
  iconv_t cd_;
  int open_error_ = 0;
};

// One descriptor per direction and thread, opened on first use: the code page never
// changes, and reopening per string would allocate on every conversion.
iconv_t Descriptor(bool to_wide) {
  thread_local Iconv to_utf16(kUtf16, ConversionCodePage());
  thread_local Iconv from_utf16(ConversionCodePage(), kUtf16);
  const Iconv& cd = to_wide ? to_utf16 : from_utf16;
  if (!cd.ok()) throw ComError(HresultFromErrno(cd.open_error()), "no converter for the code page");
  iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  return cd.get();
}

// Converts `in_bytes` bytes at `in` into `out` (capacity `out_bytes`). On success returns
// the number of bytes written; on failure returns -1 with errno set (E2BIG: too small).
// With an `escape` other than kNone, undecodable bytes become the surrogates that stand for
// them (kBytes, into UTF-16) or those surrogates become their bytes again (kUnits, from
// UTF-16), and `*escaped` (when given) says whether any was.
enum class Escape { kNone, kBytes, kUnits };
std::ptrdiff_t Convert(iconv_t cd, const void* in, std::size_t in_bytes, void* out,
                       std::size_t out_bytes, Escape escape = Escape::kNone,
                       bool* escaped = nullptr) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in_ptr = const_cast<char*>(static_cast<const char*>(in));
  char* out_ptr = static_cast<char*>(out);
  std::size_t in_left = in_bytes;
  std::size_t out_left = out_bytes;
  if (escaped != nullptr) *escaped = false;
  while (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1)) {
    if (escape == Escape::kNone || (errno != EILSEQ && errno != EINVAL)) return -1;
    if (escape == Escape::kBytes) {
      const auto byte = static_cast<unsigned char>(*in_ptr);
      if (byte < 0x80) return -1;
      if (out_left < sizeof(char16_t)) return errno = E2BIG, -1;
      const char16_t unit = 0xDC00 | byte;
      std::memcpy(out_ptr, &unit, sizeof unit);
      out_ptr += sizeof unit;
      out_left -= sizeof unit;
      ++in_ptr;
      --in_left;
    } else {
      char16_t unit = 0;
      if (in_left < sizeof unit) return -1;
      std::memcpy(&unit, in_ptr, sizeof unit);
      if (unit < kFirstEscape || unit > kLastEscape) return errno = EILSEQ, -1;
      // A stateful encoding goes back to its initial state before the raw byte.
      if (iconv(cd, nullptr, nullptr, &out_ptr, &out_left) == static_cast<std::size_t>(-1))
        return -1;
      if (out_left < 1) return errno = E2BIG, -1;
      *out_ptr++ = static_cast<char>(unit & 0xFF);
      --out_left;
      in_ptr += sizeof unit;
      in_left -= sizeof unit;
    }
    if (escaped != nullptr) *escaped = true;
  }
  // Close any shift sequence of a stateful encoding.
  if (iconv(cd, nullptr, nullptr, &out_ptr, &out_left) == static_cast<std::size_t>(-1)) return -1;
  return out_ptr - static_cast<char*>(out);
}

// Converts into the inline buffer when the text fits, else into a malloc'd block that grows
// until it does. `heap` receives the block, to be freed by the holder; `*escaped` (when
// given) says whether undecodable bytes or their surrogates were met.
template <typename Out>
Out* ConvertIntoHolder(bool to_wide, const void* in, std::size_t in_bytes, std::size_t units,
                       Out* inline_buffer, std::size_t inline_units, Out*& heap,
                       bool* escaped = nullptr) {
  // The holder's destructor does not run when its constructor throws, so the block is owned
  // here until the conversion has succeeded.
  std::unique_ptr<Out, decltype(&std::free)> block(nullptr, &std::free);
  iconv_t cd = Descriptor(to_wide);
  const Escape escape = !EscapesUndecodableBytes() ? Escape::kNone
                        : to_wide                  ? Escape::kBytes
                                                   : Escape::kUnits;
  if (units <= inline_units) {
    if (Convert(cd, in, in_bytes, inline_buffer, inline_units * sizeof(Out), escape, escaped) >= 0)
      return inline_buffer;
    if (errno != E2BIG) throw ComError(HresultFromErrno(errno), "text conversion failed");
  }
  std::size_t capacity = units;
  for (;;) {
    if (capacity > SIZE_MAX / sizeof(Out) / 2) throw ComError(E_OUTOFMEMORY);
    block.reset(static_cast<Out*>(std::malloc(capacity * sizeof(Out))));
    if (block == nullptr) throw ComError(E_OUTOFMEMORY);
    if (Convert(cd, in, in_bytes, block.get(), capacity * sizeof(Out), escape, escaped) >= 0) {
      heap = block.release();
      return heap;
    }
    if (errno != E2BIG) throw ComError(HresultFromErrno(errno), "text conversion failed");
    capacity *= 2;
  }
}

std::size_t Utf16Length(const char16_t* text) {
  std::size_t n = 0;
  while (text[n] != u'\0') ++n;
  return n;
}

// Length of the UTF-8 sequence at p, or 0 when it is not a well-formed one (overlong forms,
// surrogates and values above U+10FFFF included).
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t remaining) {
  unsigned char b = p[0];
  if (b < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (remaining < length) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

}  // namespace

const char* ConversionCodePage() {
  const char* code_page = g_code_page.load(std::memory_order_acquire);
  if (code_page != nullptr) return code_page;
  std::call_once(g_code_page_once,
                 [] { g_code_page.store(ChooseCodePage(), std::memory_order_release); });
  return g_code_page.load(std::memory_order_acquire);
}

MultibyteToWide::MultibyteToWide(const char* text) {
  if (text == nullptr) return;
  // Every character takes at least one byte and at most two UTF-16 units, and those that
  // take two take four bytes: n bytes never need more than n units (an escaped byte is one).
  std::size_t n = std::strlen(text) + 1;
  text_ = ConvertIntoHolder(true, text, n, n, inline_, std::size(inline_), heap_);
}

MultibyteToWide::~MultibyteToWide() { std::free(heap_); }

WideToMultibyte::WideToMultibyte(const char16_t* text) {
  if (text == nullptr) return;
  // Two bytes a unit covers double-byte code pages; UTF-8 may need three, and the block then
  // grows until the text fits.
  std::size_t n = Utf16Length(text) + 1;
  bool escaped = false;
  text_ = ConvertIntoHolder(false, text, n * sizeof(char16_t), 2 * n, inline_, std::size(inline_),
                            heap_, &escaped);
  if (!escaped) return;
  // Escapes that together spell a character that does decode (U+DCC3 U+DCA9 are the bytes
  // of "é" in UTF-8) would give bytes that read back as other text: two UTF-16 texts would
  // name one file. Only bytes that read back as this very text are given.
  std::unique_ptr<char, decltype(&std::free)> block(heap_, &std::free);
  const MultibyteToWide back(text_);
  if (std::u16string_view(back.get()) != std::u16string_view(text, n - 1))
    throw ComError(HresultFromErrno(EILSEQ), "escaped bytes that decode");
  block.release();
}

WideToMultibyte::~WideToMultibyte() { std::free(heap_); }

Bstr MultibyteToBstr(const char* text) {
  if (text == nullptr) return std::nullopt;
  try {
    MultibyteToWide wide(text);
    return std::u16string(wide.get());
  } catch (const ComError&) {
    throw ComError(E_OUTOFMEMORY, "cannot build the UTF-16 string");
  } catch (const std::bad_alloc&) {
    throw ComError(E_OUTOFMEMORY, "cannot build the UTF-16 string");
  }
}

std::string ConsoleText(std::string_view utf8) {
  const char* code_page = ConversionCodePage();
  if (IsUtf8(code_page) || utf8.empty()) return std::string(utf8);
  Iconv cd(code_page, kUtf8);
  if (!cd.ok()) return std::string(utf8);
  // No code page needs more than four bytes for a character that UTF-8 writes in one to four.
  std::string out(utf8.size() * 4 + 16, '\0');
  std::ptrdiff_t written = Convert(cd.get(), utf8.data(), utf8.size(), out.data(), out.size());
  if (written < 0) return std::string(utf8);
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::size_t MultibyteCharLength(const char* p, std::size_t remaining) {
  if (remaining == 0) return 0;
  const char* code_page = ConversionCodePage();
  std::size_t length;
  if (IsUtf8(code_page)) {
    length = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(p), remaining);
  } else {
    std::mbstate_t state{};
    length = std::mbrlen(p, remaining, &state);
    // -1: not a character, -2: cut short at `remaining`, 0: the NUL character.
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2))
      length = 0;
  }
  return length == 0 ? 1 : length;
}
