// SPDX-License-Identifier: GPL-3.0-or-later
// Saving an image to a file without ever replacing one and without leaving a partial file.
//
// The encoded bytes go to a new file in the destination's directory, are synced, and the file
// then gets the destination name only if that name is still free. Where the file system
// allows, the file has no name at all until then (O_TMPFILE), and linkat() gives it the
// destination name, never replacing: a run killed at any moment leaves nothing. Elsewhere it
// is a temporary file with a name of its own (created with O_EXCL, so nothing existing is
// touched), moved into place with renameat2 and RENAME_NOREPLACE, or, on a file system
// without that flag, link() (which never replaces) then unlink() of the temporary name. Any
// failure removes the temporary file, and so does SIGTERM, SIGINT or SIGHUP while it exists.
//
// A file system with none of these (FAT or exFAT through FUSE, many network and cloud mounts)
// gets the last way: the destination name itself, created with O_EXCL (which never replaces),
// written and synced, and removed on any failure and on those signals like a temporary file.
// Only there can an end that no handler sees (SIGKILL, a crash, the power) leave a partial
// file, under the sheet's own name.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
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
#include "platform/imaging_internal.h"
#include "platform/text_conv.h"

namespace {

std::mutex hook_mutex;
std::atomic<SaveFallback> forced_fallback{SaveFallback::kNone};
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

// The name of the temporary file being written, for the signal handlers to remove: one at a
// time (saves that need one take turns), set only while the signals are caught.
std::mutex named_temp_mutex;
char named_temp_path[PATH_MAX];
volatile sig_atomic_t named_temp_set = 0;
constexpr int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction previous_actions[std::size(kCleanupSignals)];

extern "C" void RemoveNamedTempAndDie(int sig) {
  if (named_temp_set) unlink(named_temp_path);
  named_temp_set = 0;
  // Then what the signal would have done without us: end the process.
  signal(sig, SIG_DFL);
  raise(sig);
}

class TempFile;

// While alive, SIGTERM, SIGINT and SIGHUP (those that would end the process: an ignored one
// stays ignored) remove the temporary file it watches before the process ends. Holds
// named_temp_mutex. Made before the TempFile, so that the file is removed (or moved into
// place) before the signals are given back.
class NamedTempGuard {
 public:
  NamedTempGuard() : lock_(named_temp_mutex) {
    named_temp_set = 0;
    struct sigaction action = {};
    action.sa_handler = &RemoveNamedTempAndDie;
    sigemptyset(&action.sa_mask);
    for (int sig : kCleanupSignals) sigaddset(&action.sa_mask, sig);
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
      struct sigaction old;
      if (sigaction(kCleanupSignals[i], nullptr, &old) != 0 || old.sa_handler != SIG_DFL ||
          (old.sa_flags & SA_SIGINFO))
        continue;
      installed_[i] = sigaction(kCleanupSignals[i], &action, &previous_actions[i]) == 0;
    }
  }
  ~NamedTempGuard() {
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
      if (installed_[i]) sigaction(kCleanupSignals[i], &previous_actions[i], nullptr);
    }
    named_temp_set = 0;
  }
  NamedTempGuard(const NamedTempGuard&) = delete;
  NamedTempGuard& operator=(const NamedTempGuard&) = delete;

  // Stops watching: a signal from now on leaves the file where it is.
  void Unwatch() { named_temp_set = 0; }

  // Creates `temp` with `create` (TempFile::Create or CreateExclusive and its argument) and
  // watches it, with the signals held back meanwhile so that none can come between the file
  // and its watch. 0 or an errno value.
  int CreateWatched(TempFile& temp, int (TempFile::*create)(const std::string&),
                    const std::string& where);

 private:
  std::lock_guard<std::mutex> lock_;
  bool installed_[std::size(kCleanupSignals)] = {};
};

// A temporary file: removed when the owner goes out of scope unless it was moved into place.
class TempFile {
 public:
  ~TempFile() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  // Creates a file without a name in `directory` (O_TMPFILE), mode 0666 less the umask.
  // 0, or an errno value; EOPNOTSUPP, EISDIR or EINVAL where the file system or the kernel
  // cannot.
  int CreateUnnamed(const std::string& directory) {
    const int fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    fd_ = fd;
    unnamed_ = true;
    return 0;
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
  // Creates `path` itself, only if no entry has that name; removed like a temporary file
  // until Keep().
  int CreateExclusive(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    fd_ = fd;
    path_ = path;
    return 0;
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
  bool unnamed() const { return unnamed_; }

  // Gives the unnamed file the name `to` if that name is free; the descriptor stays open.
  // 0 or an errno value (EEXIST when the name is taken).
  int LinkUnnamed(const std::string& to) {
    if (linkat(fd_, "", AT_FDCWD, to.c_str(), AT_EMPTY_PATH) == 0) return 0;
    int e = errno;
    if (e == EEXIST) return e;
    // AT_EMPTY_PATH asks for a privilege most processes lack; the descriptor's name in /proc
    // links the same file.
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_);
    if (linkat(AT_FDCWD, proc, AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    return errno;
  }

 private:
  int fd_ = -1;
  bool unnamed_ = false;
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

// What a file system without the call answers: EINVAL from renameat2 with a flag it does not
// know, EPERM from link() where it has no hard links (FUSE's answer for a missing operation
// among them), the others from either.
bool Unsupported(int e) {
  return e == EINVAL || e == ENOSYS || e == ENOTSUP || e == EOPNOTSUPP || e == EPERM;
}

// Writes `bytes` to the new file and syncs it. 0 or an errno value.
int WriteAndSync(const TempFile& file, const std::string& bytes) {
  if (int e = WriteAll(file.fd(), bytes); e != 0) return e;
  return fsync(file.fd()) == 0 ? 0 : errno;
}

void RunSaveHook(const std::string& destination) {
  std::lock_guard lock(hook_mutex);
  if (SaveHook()) SaveHook()(destination);
}

// Moves `from` to `to` only while `to` does not exist. 0 or an errno value (EEXIST when the
// name is taken; ENOTSUP when the file system can do neither).
int MoveIntoPlace(const std::string& from, const std::string& to) {
  const SaveFallback forced = forced_fallback;
  int e = EINVAL;
  if (forced == SaveFallback::kNone) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    e = errno;
  }
  if (!Unsupported(e) || e == EPERM) return e;  // EPERM from a rename is a refusal
  // The file system does not know RENAME_NOREPLACE; a hard link never replaces either.
  if (forced == SaveFallback::kCreateInPlace) {
    e = EPERM;
  } else if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return 0;
  } else {
    e = errno;
  }
  return Unsupported(e) ? ENOTSUP : e;
}

int NamedTempGuard::CreateWatched(TempFile& temp, int (TempFile::*create)(const std::string&),
                                  const std::string& where) {
  sigset_t held, previous;
  sigemptyset(&held);
  for (int sig : kCleanupSignals) sigaddset(&held, sig);
  pthread_sigmask(SIG_BLOCK, &held, &previous);
  const int e = (temp.*create)(where);
  if (e == 0 && temp.path().size() < sizeof named_temp_path) {
    memcpy(named_temp_path, temp.path().c_str(), temp.path().size() + 1);
    named_temp_set = 1;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return e;
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

void ForceSaveFallbackForTesting(SaveFallback fallback) { forced_fallback = fallback; }

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
  // The encoder's module or the image library it needs is missing.
  const EncodeFunction encode = LoadEncoder(*encoder, why);
  if (encode == nullptr) return FileNotFound;
  if (GpStatus s = encode(pixels, params, &encoded, why); s != Ok) return s;

  const std::string directory = DirectoryOf(path);
  if (forced_fallback == SaveFallback::kNone) {
    // A file without a name until it is complete, where the file system can make one.
    TempFile temp;
    int e = temp.CreateUnnamed(directory);
    if (e == 0) {
      if (e = WriteAndSync(temp, encoded); e != 0) return Fail(e, "", why);
      RunSaveHook(path);
      e = temp.LinkUnnamed(path);
      if (e == 0) {
        temp.Close();  // after fsync, nothing is left for the close to report
        SyncDirectory(directory);
        return Ok;
      }
      // Neither link worked (no /proc, say): the named temporary file below, unless the
      // answer was final.
      if (e == EEXIST || e == ENOSPC || e == EDQUOT || e == EROFS || e == EACCES)
        return Fail(e, "", why);
    } else if (e != EOPNOTSUPP && e != EISDIR && e != EINVAL) {
      return Fail(e, "", why);
    }
  }

  {
    NamedTempGuard guard;
    TempFile temp;
    if (int e = guard.CreateWatched(temp, &TempFile::Create, directory); e != 0)
      return Fail(e, "", why);
    if (int e = WriteAndSync(temp, encoded); e != 0) return Fail(e, "", why);
    if (int e = temp.Close(); e != 0) return Fail(e, "", why);
    RunSaveHook(path);
    const int e = MoveIntoPlace(temp.path(), path);
    if (e == 0) {
      temp.Keep();
      SyncDirectory(directory);
      return Ok;
    }
    if (e != ENOTSUP) return Fail(e, "", why);
  }  // the temporary file is gone here

  // Neither a rename that never replaces nor a hard link: the destination name itself.
  NamedTempGuard guard;
  TempFile file;
  if (int e = guard.CreateWatched(file, &TempFile::CreateExclusive, path); e != 0)
    return Fail(e, "", why);
  if (int e = WriteAndSync(file, encoded); e != 0) return Fail(e, "", why);
  if (int e = file.Close(); e != 0) return Fail(e, "", why);
  RunSaveHook(path);
  guard.Unwatch();  // before Keep: from here on a signal leaves the complete sheet
  file.Keep();
  SyncDirectory(directory);
  return Ok;
}
