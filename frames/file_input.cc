// SPDX-License-Identifier: GPL-3.0-or-later
// The movie file read through one descriptor, and the refusal of every other file.
#include "frames/file_input.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

namespace {

// The failure of a system call, in the system's words.
HRESULT SystemFailure(int e, std::string* error) {
  *error = std::strerror(e);
  return HresultFromErrno(e);
}

}  // namespace

// An input reading through `fd`, which it owns from now on, even when this fails.
std::unique_ptr<FileInput> FileInput::Adopt(int fd, std::string* error) {
  std::unique_ptr<FileInput> input(new (std::nothrow) FileInput(fd));
  if (!input) {
    close(fd);
    *error = "out of memory";
  }
  return input;
}

HRESULT FileInput::Open(const std::string& name, std::unique_ptr<FileInput>* out,
                        std::string* error) {
  const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return SystemFailure(errno, error);
  std::unique_ptr<FileInput> input = Adopt(fd, error);
  if (!input) return E_OUTOFMEMORY;
  struct stat info;
  if (fstat(fd, &info) != 0) return SystemFailure(errno, error);
  if (S_ISDIR(info.st_mode)) return SystemFailure(EISDIR, error);
  if (!S_ISREG(info.st_mode)) {
    *error = "not a regular file";
    return VFW_E_INVALID_FILE_FORMAT;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (HRESULT hr = input->MakeBuffer(error); Failed(hr)) return hr;
  *out = std::move(input);
  return S_OK;
}

HRESULT FileInput::Duplicate(std::unique_ptr<FileInput>* out, std::string* error) const {
  const int fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return SystemFailure(errno, error);
  std::unique_ptr<FileInput> input = Adopt(fd, error);
  if (!input) return E_OUTOFMEMORY;
  if (HRESULT hr = input->MakeBuffer(error); Failed(hr)) return hr;
  *out = std::move(input);
  return S_OK;
}

HRESULT FileInput::MakeBuffer(std::string* error) {
  constexpr int kBufferSize = 32 << 10;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  if (buffer != nullptr)
    pb_ = avio_alloc_context(buffer, kBufferSize, 0, this, &Read, nullptr, &Seek);
  if (pb_ == nullptr) {
    av_free(buffer);
    *error = "out of memory";
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

FileInput::~FileInput() {
  if (pb_ != nullptr) av_freep(&pb_->buffer);
  avio_context_free(&pb_);
  close(fd_);
}

void FileInput::Confine(AVFormatContext* fmt) {
  fmt->pb = pb_;
  fmt->opaque = this;
  fmt->io_open = &RefuseNestedOpen;
}

DictPtr FileInput::NoProtocolOptions() {
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "none", 0);
  return DictPtr(options);
}

// Reads at the input's own offset: a duplicated descriptor shares its file offset with the
// original, which another demuxer on another thread moves.
int FileInput::Read(void* opaque, std::uint8_t* buf, int size) {
  auto* input = static_cast<FileInput*>(opaque);
  for (;;) {
    const ssize_t n =
        pread(input->fd_, buf, static_cast<size_t>(size), static_cast<off_t>(input->offset_));
    if (n > 0) {
      input->offset_ += n;
      return static_cast<int>(n);
    }
    if (n == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

std::int64_t FileInput::Seek(void* opaque, std::int64_t offset, int whence) {
  auto* input = static_cast<FileInput*>(opaque);
  const int from = whence & ~AVSEEK_FORCE;
  struct stat info;
  if ((whence & AVSEEK_SIZE) || from == SEEK_END) {
    if (fstat(input->fd_, &info) != 0) return AVERROR(errno);
    if (whence & AVSEEK_SIZE) return static_cast<std::int64_t>(info.st_size);
  }
  std::int64_t at = offset;
  if (from == SEEK_CUR)
    at += input->offset_;
  else if (from == SEEK_END)
    at += info.st_size;
  else if (from != SEEK_SET)
    return AVERROR(EINVAL);
  if (at < 0) return AVERROR(EINVAL);
  input->offset_ = at;
  return at;
}

std::size_t FileInput::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) const {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return 0;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return done;
}

std::uint64_t FileInput::Size() const {
  struct stat info;
  return fstat(fd_, &info) == 0 && info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// The demuxer's way to open a file of its own: refused, and noted.
int FileInput::RefuseNestedOpen(AVFormatContext* s, AVIOContext**, const char*, int,
                                AVDictionary**) {
  static_cast<FileInput*>(s->opaque)->nested_open_refused_ = true;
  return AVERROR(EPERM);
}
