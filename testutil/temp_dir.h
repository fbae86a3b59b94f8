// SPDX-License-Identifier: GPL-3.0-or-later
// A fresh directory under the system's temporary directory, removed with its contents when
// the owner goes out of scope.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  /// path() + "/" + name
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Reads a whole file; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
/// Writes `bytes` to `path`, replacing it. Returns false on failure.
bool WriteFileBytes(const std::string& path, const std::string& bytes);
/// True when a directory entry of that name exists (a dangling symbolic link included).
bool PathEntryExists(const std::string& path);
