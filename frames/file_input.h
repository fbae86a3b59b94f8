// SPDX-License-Identifier: GPL-3.0-or-later
// The movie file as the demuxer's one and only input: a regular file, opened once and read
// through that one descriptor (or a duplicate of it, for another demuxer of the same movie),
// and no other file opened on the demuxer's behalf (a playlist or a reference to other files
// is refused every file it names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "frames/av_handles.h"
#include "platform/com.h"

struct AVIOContext;

/// The cause LastErrorText gives for a file whose demuxer asked to open other files.
inline constexpr const char* kRefersToOtherFiles = "a playlist or reference to other files";

class FileInput {
 public:
  /// Opens `name` without blocking. Anything but a regular file is refused: a FIFO would block
  /// the open and a device could be read for ever. On failure *error says why.
  static HRESULT Open(const std::string& name, std::unique_ptr<FileInput>* out, std::string* error);
  /// Another input on the same open file, through a duplicate of its descriptor: the file
  /// opened and checked first, even when its name has since been given to another. Each
  /// input reads at its own offset (reads at offsets, never the descriptor's shared one), so
  /// that two demuxers on two threads do not move each other.
  HRESULT Duplicate(std::unique_ptr<FileInput>* out, std::string* error) const;
  ~FileInput();
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  /// Makes the format context `fmt`, allocated and not yet opened, read this file and nothing
  /// else: its reads come from here, and every other file it would open through the context
  /// is refused (see NestedOpenRefused). The file must outlive the context.
  void Confine(AVFormatContext* fmt);
  /// Options for avformat_open_input under which a context a demuxer opens on its own (which
  /// inherits them) can open no protocol at all.
  static DictPtr NoProtocolOptions();
  /// Whether the demuxer asked to open another file since Confine.
  bool NestedOpenRefused() const { return nested_open_refused_; }

  /// Reads up to `size` bytes at `offset` into `out`, leaving the demuxer's reading where it
  /// is; returns how many were read (fewer at the end of the file or on an error).
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) const;
  /// The file's size in bytes; 0 when it cannot be had.
  std::uint64_t Size() const;

 private:
  explicit FileInput(int fd) : fd_(fd) {}
  static std::unique_ptr<FileInput> Adopt(int fd, std::string* error);
  HRESULT MakeBuffer(std::string* error);
  static int Read(void* opaque, std::uint8_t* buf, int size);
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);
  static int RefuseNestedOpen(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                              AVDictionary** options);

  int fd_;
  std::int64_t offset_ = 0;  // where the next read starts
  AVIOContext* pb_ = nullptr;
  bool nested_open_refused_ = false;
};
