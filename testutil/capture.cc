// SPDX-License-Identifier: GPL-3.0-or-later
#include "testutil/capture.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace {

void FlushAll() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(stdout);
  std::fflush(stderr);
}

// One redirected descriptor: a temporary file takes the place of `fd` until Restore().
class Redirect {
 public:
  explicit Redirect(int fd) : fd_(fd) {
    file_ = std::tmpfile();
    if (file_ == nullptr) throw std::runtime_error("tmpfile failed");
    saved_ = dup(fd_);
    if (saved_ < 0 || dup2(fileno(file_), fd_) < 0) {
      if (saved_ >= 0) close(saved_);
      std::fclose(file_);
      throw std::runtime_error("cannot redirect a standard descriptor");
    }
  }
  ~Redirect() {
    Restore();
    std::fclose(file_);
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

  void Restore() {
    if (saved_ < 0) return;
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }

  // The whole file, read through its own descriptor from the start.
  std::string Contents() {
    std::string bytes;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
      ssize_t n = pread(fileno(file_), buffer, sizeof buffer, offset);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
      offset += n;
    }
    return bytes;
  }

 private:
  int fd_;
  int saved_ = -1;
  std::FILE* file_ = nullptr;
};

}  // namespace

CapturedOutput CaptureOutput(const std::function<void()>& fn) {
  FlushAll();
  Redirect out(STDOUT_FILENO);
  Redirect err(STDERR_FILENO);
  try {
    fn();
  } catch (...) {
    FlushAll();
    throw;
  }
  FlushAll();
  err.Restore();
  out.Restore();
  return CapturedOutput{out.Contents(), err.Contents()};
}
