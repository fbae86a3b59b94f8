// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: one movie file from end to end. The input bytes are written to a file of a
// scratch directory, and a sheet of 3 x 2 small cells is made from it with the real
// detector, as a run of the program makes it. Whatever the bytes, the run must end with
// either a sheet that exists or no file at all beside the input (no temporary left over).
// libFuzzer bounds the time (-timeout) and memory (-rss_limit_mb) of each input;
// scripts/fuzz.sh sets both.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/imaging.h"
#include "settings/run_settings.h"
#include "sheet/sheet_generator.h"

namespace {

std::string g_dir;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "movie_fuzzer: %s\n", what);
  std::abort();
}

// Standard output goes to /dev/null for the whole process (the sheet prints its progress
// there); libFuzzer and the replay report on standard error, as does the sheet's one
// diagnostic line.
bool SetUpOnce() {
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) std::abort();
  std::fflush(stdout);
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
  char pattern[] = "/tmp/vgrid-fuzz-movie-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) std::abort();
  g_dir = dir;
  // The scratch directory goes at a normal exit (a finding aborts and leaves it to look at).
  std::atexit([] {
    unlink((g_dir + "/movie").c_str());
    unlink((g_dir + "/sheet.png").c_str());
    rmdir(g_dir.c_str());
  });
  if (Failed(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) std::abort();
  static std::uintptr_t token = 0;
  GdiplusStartupInput input;
  GdiplusStartup(&token, &input, nullptr);
  return true;
}

std::vector<std::string> Entries() {
  std::vector<std::string> names;
  DIR* d = opendir(g_dir.c_str());
  if (d == nullptr) Fail("the scratch directory went away");
  while (const dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.emplace_back(e->d_name);
  }
  closedir(d);
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = SetUpOnce();
  (void)ready;
  const std::string src = g_dir + "/movie";
  const std::string dst = g_dir + "/sheet.png";
  const int fd = open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("cannot write the input file");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) Fail("cannot write the input file");
    done += static_cast<std::size_t>(n);
  }
  close(fd);

  RunSettings settings;
  settings.cols = 3;
  settings.rows = 2;
  settings.width = 32;
  settings.height = 24;
  settings.quality = 85;
  settings.format = "image/png";
  settings.src = src;
  settings.dst = dst;
  bool written = false;
  SheetGenerator(settings, &written);

  std::vector<std::string> entries = Entries();
  struct stat info;
  const bool exists = lstat(dst.c_str(), &info) == 0;
  if (written != exists) Fail(written ? "a sheet said written is missing" : "a file was left");
  if (exists && (!S_ISREG(info.st_mode) || info.st_size == 0)) Fail("the sheet is empty");
  if (entries.size() != (exists ? 2u : 1u)) Fail("something else was left beside the input");
  if (exists) unlink(dst.c_str());
  return 0;
}
