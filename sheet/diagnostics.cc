// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/diagnostics.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

#include "platform/com.h"
#include "platform/text_conv.h"

namespace {

const char* LineOf(SheetFailure failure) {
  switch (failure) {
    case SheetFailure::kCannotOpen:
      return "入力ファイルを開けません";
    case SheetFailure::kNoVideo:
      return "映像ストリームがありません";
    case SheetFailure::kNoFrame:
      return "フレームを取得できませんでした";
    case SheetFailure::kNoCanvas:
      return "出力画像を作成できません";
    case SheetFailure::kNoEncoder:
      return "対応していない出力形式です";
    case SheetFailure::kCannotSave:
      return "出力ファイルを保存できません";
  }
  return "";
}

constexpr const char* kCatchAll = "なんかしらエラーが発生してしまいました。";
// "No font can draw the text".
constexpr const char* kNoFont = "文字を描けるフォントがありません";
constexpr const char* kNoFontCause = "fontconfig finds none; the sheet is saved without its text";

// The system error number of `failure`, for the catch-all line: what happened, never what a
// call long before left in errno.
int ErrnoOf(const std::exception_ptr& failure) {
  if (!failure) return EIO;
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (const std::system_error& e) {
    return e.code().category() == std::generic_category() ||
                   e.code().category() == std::system_category()
               ? e.code().value()
               : EIO;
  } catch (const ComError& e) {
    if (e.code() == E_OUTOFMEMORY) return ENOMEM;
    if ((static_cast<std::uint32_t>(e.code()) & 0xFFFF0000u) == 0x80070000u)
      return static_cast<int>(e.code() & 0xFFFF);
    return EINVAL;
  } catch (...) {
    return EIO;
  }
}

// The path at the head of a diagnostic line. A name may hold any byte but '/' and NUL; a
// control character (a line feed, say) would break the line or move the cursor, and is shown
// as '?'. No byte below 0x20 is part of a multibyte character in the code pages in use.
bool ShownAsQuestionMark(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

std::string PathForLine(const std::string& src) {
  if (src.empty()) return "";
  std::string shown = src;
  for (char& c : shown)
    if (ShownAsQuestionMark(c)) c = '?';
  return shown + ": ";
}

// The line of the movie `src`: its path, `words` (UTF-8, written in the locale's encoding) and
// ": " with `cause` when there is one.
void WriteLine(const std::string& src, const char* words, const std::string& cause) {
  std::string line = PathForLine(src) + ConsoleText(words);
  if (!cause.empty()) line += ": " + cause;
  line += '\n';
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
}

}  // namespace

void PrintProgress(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void Diagnose(const std::string& src, SheetFailure failure, const std::string& cause) {
  WriteLine(src, LineOf(failure), cause);
}

void DiagnoseNoFont(const std::string& src) { WriteLine(src, kNoFont, kNoFontCause); }

namespace {

// The catch-all words in the console's encoding, made once, while memory is still at hand.
const std::string& CatchAllWords() {
  static const std::string words = ConsoleText(kCatchAll);
  return words;
}

// Standard error through a buffer on the stack, written out whenever it fills and at the end:
// a line of up to 4 KB takes one write, and no line takes memory.
class StackLine {
 public:
  void Add(const char* text, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      if (used_ == sizeof buffer_) Flush();
      buffer_[used_++] = text[i];
    }
  }
  void Add(const char* text) { Add(text, std::strlen(text)); }
  void Flush() {
    std::fwrite(buffer_, 1, used_, stderr);
    used_ = 0;
  }

 private:
  char buffer_[4096];
  std::size_t used_ = 0;
};

}  // namespace

void PrepareCatchAllLine() { CatchAllWords(); }

void DiagnoseCurrentException(const std::string& src) noexcept {
  // Nothing here allocates: the exception may be memory that ran out, and an exception thrown
  // from here would end the run with a signal instead of its line.
  const int cause = ErrnoOf(std::current_exception());
  const char* words = kCatchAll;
  try {
    words = CatchAllWords().c_str();
  } catch (...) {
    // Not made yet, and no memory to make it: the words as the program holds them.
  }
  std::fflush(stdout);
  StackLine line;
  if (!src.empty()) {
    for (char c : src) line.Add(ShownAsQuestionMark(c) ? "?" : &c, 1);
    line.Add(": ");
  }
  line.Add(words);
  line.Add(": ");
  line.Add(std::strerror(cause));
  line.Add("\n");
  line.Flush();
}
