// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/destination.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/text_conv.h"

namespace {
constexpr char kDestinationExists[] = "出力ファイルがすでに存在します。";
}  // namespace

std::size_t FindExtension(std::string_view path) {
  std::size_t dot = std::string_view::npos;
  std::size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '/') {
      dot = std::string_view::npos;  // a dot in a directory name is no extension
    } else if (path[i] == '.') {
      dot = i;
    }
    i += MultibyteCharLength(path.data() + i, path.size() - i);
  }
  return dot == std::string_view::npos ? path.size() : dot;
}

std::string DestinationName(std::string_view src, std::string_view dst, std::string_view format) {
  if (dst.empty()) {
    std::string name(src.substr(0, FindExtension(src)));
    if (format == "image/png") {
      name += ".png";
    } else if (format == "image/gif") {
      name += ".gif";
    } else {
      name += ".jpg";
    }
    return name;
  }
  // '*' (0x2A) never occurs inside a double-byte character, so a byte search will do.
  if (std::size_t star = dst.find('*'); star != std::string_view::npos) {
    return std::string(src) + std::string(dst.substr(star + 1));
  }
  return std::string(dst);
}

bool PathFileExistsA(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

bool ResolveDestination(RunSettings& settings) {
  settings.dst = DestinationName(settings.src, settings.dst, settings.format);
  if (!PathFileExistsA(settings.dst.c_str())) return true;
  std::printf("dst: %s\n%s", settings.dst.c_str(), ConsoleText(kDestinationExists).c_str());
  return false;
}
