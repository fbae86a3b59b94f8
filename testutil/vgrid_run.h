// SPDX-License-Identifier: GPL-3.0-or-later
// What the end-to-end tests share: running the built vgrid with a time bound, a locale and,
// where it can be had, a bound on its address space, and looking at what a run left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testutil/run_binary.h"

/// True in a build with AddressSanitizer, whose shadow memory takes terabytes of address space:
/// no bound on the address space can be set on such a binary.
bool RunningUnderAddressSanitizer();

struct VgridRunBounds {
  int timeout_seconds = 60;
  /// Bytes of address space the run may take (prlimit --as); 0 for no bound. Not applied under
  /// AddressSanitizer or without prlimit.
  std::int64_t address_space = 0;
  /// Variables set in the run; the default locale is UTF-8.
  std::vector<std::string> set_env = {"LC_ALL=C.UTF-8"};
};

/// Runs the built vgrid (VGRID_BINARY) with `args` within `bounds`.
RunResult RunVgrid(const std::vector<std::string>& args, const VgridRunBounds& bounds = {});

/// The names in `dir`, sorted; empty when it cannot be read.
std::vector<std::string> DirectoryEntries(const std::string& dir);

/// True when `text` is exactly one line, ended by its line feed.
bool IsOneLine(const std::string& text);

/// A fixture for runs of the built vgrid on a small movie: skipped when VGRID_BINARY names no
/// binary; `movie_` is a 64 x 48 fixture movie (whose default cells, a tenth of it, are 6 x 4).
class SmallMovieRunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  std::string movie_;
};
