// SPDX-License-Identifier: GPL-3.0-or-later
#include "testutil/vgrid_run.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "testutil/fixture_movies.h"

bool RunningUnderAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

RunResult RunVgrid(const std::vector<std::string>& args, const VgridRunBounds& bounds) {
  RunOptions options;
  options.set_env = bounds.set_env;
  options.timeout_seconds = bounds.timeout_seconds;
  if (bounds.address_space <= 0 || RunningUnderAddressSanitizer() ||
      access("/usr/bin/prlimit", X_OK) != 0)
    return RunBinary(VgridBinaryPath(), args, options);
  std::vector<std::string> limited = {"--as=" + std::to_string(bounds.address_space), "--",
                                      VgridBinaryPath()};
  limited.insert(limited.end(), args.begin(), args.end());
  return RunBinary("/usr/bin/prlimit", limited, options);
}

std::vector<std::string> DirectoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool IsOneLine(const std::string& text) {
  return !text.empty() && text.find('\n') == text.size() - 1;
}

void SmallMovieRunTest::SetUp() {
  if (!VgridBinaryAvailable()) GTEST_SKIP() << "VGRID_BINARY does not name the built vgrid";
  FixtureSpec spec;
  spec.width = 64;
  spec.height = 48;
  std::string error;
  movie_ = FixtureMovie(spec, &error);
  ASSERT_FALSE(movie_.empty()) << error;
}
