// SPDX-License-Identifier: GPL-3.0-or-later
// Captures what a call writes to the process's standard output and standard error, at the
// file-descriptor level, so printf, fwrite, perror, std::cout and direct write(2) calls are
// all caught.
#pragma once

#include <functional>
#include <string>

/// The bytes a call wrote, exactly as written.
struct CapturedOutput {
  std::string out;  ///< standard output (fd 1)
  std::string err;  ///< standard error (fd 2)
};

/// Runs `fn` with file descriptors 1 and 2 redirected to temporary files and returns what it
/// wrote to each. C stdio and iostreams are flushed before and after, so buffered output lands
/// on the right side. The original descriptors are restored even when `fn` throws (the
/// exception is passed on). Not thread-safe: the whole process's descriptors are redirected.
CapturedOutput CaptureOutput(const std::function<void()>& fn);
