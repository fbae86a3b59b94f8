// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/diagnostics.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
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

// The system error number of the exception being handled, for the catch-all line: what
// happened, never what a call long before left in errno.
int ErrnoOfCurrentException() {
  try {
    throw;
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

}  // namespace

void PrintProgress(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void Diagnose(SheetFailure failure, const std::string& cause) {
  std::string line = ConsoleText(LineOf(failure));
  if (!cause.empty()) line += ": " + cause;
  line += '\n';
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
}

void DiagnoseCurrentException() {
  const int cause = ErrnoOfCurrentException();
  std::fflush(stdout);
  const std::string line = ConsoleText(kCatchAll);
  errno = cause;
  std::perror(line.c_str());
}
