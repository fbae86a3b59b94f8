// Saving an image to a file without ever replacing one and without leaving a partial file.
//
// The encoded bytes go to a new temporary file in the destination's directory (created with
// O_EXCL, so nothing existing is touched), are synced, and the file is then moved to the
// destination name only if that name is still free: renameat2 with RENAME_NOREPLACE, or, on a
// file system without that flag, link() (which never replaces) then unlink() of the temporary
// name. Any failure removes the temporary file.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform/encoders.h"
#include "platform/imaging.h"
#include "platform/text_conv.h"

namespace {

std::mutex hook_mutex;
std::atomic<bool> force_link_fallback{false};
std::function<void(const std::string&)>& SaveHook() {
  static auto* hook = new std::function<void(const std::string&)>;
  return *hook;
}

GpStatus StatusFromErrno(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
      return AccessDenied;
    case ENOENT:
    case ENOTDIR:
      return FileNotFound;
    case ENOMEM:
      return OutOfMemory;
    default:
      return Win32Error;
  }
}

GpStatus Fail(int e, const std::string& what, std::string* why) {
  if (why != nullptr) *why = what.empty() ? strerror(e) : what + ": " + strerror(e);
  return StatusFromErrno(e);
}

// A temporary file: removed when the owner goes out of scope unless it was moved into place.
class TempFile {
 public:
  ~TempFile() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  // Creates a new file with a random name in `directory`, mode 0666 less the umask.
  int Create(const std::string& directory) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      unsigned char random[6];
      if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // Fall back on something that still differs between processes and attempts.
        const unsigned long mix = static_cast<unsigned long>(getpid()) * 2654435761ul + attempt;
        memcpy(random, &mix, sizeof random);
      }
      char name[32];
      snprintf(name, sizeof name, ".vgrid-%02x%02x%02x%02x%02x%02x.tmp", random[0], random[1],
               random[2], random[3], random[4], random[5]);
      std::string path = directory + "/" + name;
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fd_ = fd;
        path_ = std::move(path);
        return 0;
      }
      if (errno != EEXIST) return errno;
    }
    return EEXIST;
  }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // Closes the descriptor, reporting a failure (some file systems report write errors here).
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0 ? 0 : errno;
  }
  void Keep() { path_.clear(); }

 private:
  int fd_ = -1;
  std::string path_;
};

int WriteAll(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Moves `from` to `to` only while `to` does not exist. 0 or an errno value (EEXIST when the
// name is taken).
int MoveIntoPlace(const std::string& from, const std::string& to) {
  int e = EINVAL;
  if (!force_link_fallback) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    e = errno;
  }
  if (e != EINVAL && e != ENOSYS && e != ENOTSUP && e != EOPNOTSUPP) return e;
  // The file system does not know RENAME_NOREPLACE; a hard link never replaces either.
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  unlink(from.c_str());
  return 0;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void SyncDirectory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // durability of the new name only; the file itself is complete either way
  close(fd);
}

}  // namespace

void ForceLinkFallbackForTesting(bool force) { force_link_fallback = force; }

void SetSaveHookForTesting(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(hook_mutex);
  SaveHook() = std::move(hook);
}

GpStatus GdipSaveImageToFile(GpImage* image, const char16_t* filename, const GUID* clsid,
                             const EncoderParameters* params, std::string* why) {
  std::string ignored;
  if (why == nullptr) why = &ignored;
  why->clear();
  if (filename == nullptr || clsid == nullptr) {
    *why = "no file name or encoder given";
    return InvalidParameter;
  }
  const EncoderEntry* encoder = FindEncoder(*clsid);
  if (encoder == nullptr) {
    *why = "no encoder with that class identifier";
    return UnknownImageFormat;
  }
  ArgbPixels pixels;
  if (GpStatus s = ImagePixels(image, &pixels); s != Ok) {
    *why = s == InvalidParameter ? "no image to save" : GpStatusText(s);
    return s;
  }

  std::string path;
  try {
    WideToMultibyte narrow(filename);
    path = narrow.get();
  } catch (const std::exception& e) {
    *why = std::string("file name cannot be converted: ") + e.what();
    return InvalidParameter;
  }
  if (path.empty()) return Fail(ENOENT, "", why);

  std::string encoded;
  if (GpStatus s = encoder->encode(pixels, params, &encoded, why); s != Ok) return s;

  const std::string directory = DirectoryOf(path);
  TempFile temp;
  if (int e = temp.Create(directory); e != 0) return Fail(e, "", why);
  if (int e = WriteAll(temp.fd(), encoded); e != 0) return Fail(e, "", why);
  if (fsync(temp.fd()) != 0) return Fail(errno, "", why);
  if (int e = temp.Close(); e != 0) return Fail(e, "", why);

  {
    std::lock_guard lock(hook_mutex);
    if (SaveHook()) SaveHook()(path);
  }

  if (int e = MoveIntoPlace(temp.path(), path); e != 0) return Fail(e, "", why);
  temp.Keep();
  SyncDirectory(directory);
  return Ok;
}
