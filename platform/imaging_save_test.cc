// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of saving: a new file every time, never a replaced one, and nothing left behind on
// failure or on a signal.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/encoders.h"
#include "platform/imaging.h"
#include "platform/imaging_internal.h"
#include "platform/modules.h"
#include "testutil/image_read.h"
#include "testutil/temp_dir.h"
#include "testutil/vgrid_run.h"

namespace {

const GUID& Clsid(const char16_t* mime) {
  for (const EncoderEntry* e : EncoderTable())
    if (std::u16string_view(e->mime_type) == mime) return e->clsid;
  ADD_FAILURE() << "no such encoder";
  return EncoderTable()[0]->clsid;
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

GpStatus Save(GpImage* image, const std::string& path, const GUID& clsid, std::string* why) {
  const std::u16string wide(path.begin(), path.end());
  return GdipSaveImageToFile(image, wide.c_str(), &clsid, nullptr, why);
}

// Runs `body` in a child process and returns its exit code (for privileges and limits that
// must not touch the test process).
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Bytes of address space this process holds (VmSize).
std::int64_t AddressSpaceInUse() {
  const std::string status = ReadFileBytes("/proc/self/status");
  const std::size_t at = status.find("VmSize:");
  return at == std::string::npos ? 0 : std::stoll(status.substr(at + 7)) * 1024;
}

struct SaveHookGuard {
  explicit SaveHookGuard(std::function<void(const std::string&)> hook) {
    SetSaveHookForTesting(std::move(hook));
  }
  ~SaveHookGuard() { SetSaveHookForTesting(nullptr); }
};

struct ForcedFallback {
  explicit ForcedFallback(SaveFallback fallback) { ForceSaveFallbackForTesting(fallback); }
  ~ForcedFallback() { ForceSaveFallbackForTesting(SaveFallback::kNone); }
};

const char* Describe(SaveFallback fallback) {
  switch (fallback) {
    case SaveFallback::kNone:
      return "rename without replace";
    case SaveFallback::kLink:
      return "link and unlink";
    case SaveFallback::kCreateInPlace:
      return "created in place";
  }
  return "?";
}

class SaveTest : public ::testing::Test {
 protected:
  SaveTest() : canvas_(16, 8, PixelFormat32bppARGB) {
    Graphics g(canvas_);
    g.Clear(0xFF2080C0);
  }
  void CheckNeverReplaces(const TempDir& dir);
  void CheckRace(const TempDir& dir, bool named_temp);
  Bitmap canvas_;
  TempDir dir_;
};

TEST_F(SaveTest, WritesANewFileWithTheUsualModeAndNothingElse) {
  const mode_t old_mask = umask(027);
  std::string why;
  ASSERT_EQ(Save(canvas_.get(), dir_.File("out.png"), Clsid(u"image/png"), &why), Ok) << why;
  umask(old_mask);
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"out.png"});
  struct stat st {};
  ASSERT_EQ(stat(dir_.File("out.png").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // 0666 less the umask, like any new file
  const DecodedImage img = ReadImageFile(dir_.File("out.png"));
  ASSERT_TRUE(img.ok()) << img.error;
  EXPECT_EQ(img.Argb(15, 7), 0xFF2080C0u);

  // A name without a directory part lands in the current directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  const GpStatus relative = Save(canvas_.get(), "rel.bmp", Clsid(u"image/bmp"), &why);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(relative, Ok) << why;
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"out.png", "rel.bmp"}));
}

TEST_F(SaveTest, NeverReplacesAnExistingEntry) {
  for (SaveFallback fallback :
       {SaveFallback::kNone, SaveFallback::kLink, SaveFallback::kCreateInPlace}) {
    SCOPED_TRACE(Describe(fallback));
    TempDir dir;
    ForcedFallback force(fallback);
    CheckNeverReplaces(dir);
  }
}

void SaveTest::CheckNeverReplaces(const TempDir& dir) {
  ASSERT_TRUE(WriteFileBytes(dir.File("file.jpg"), "precious"));
  ASSERT_EQ(mkdir(dir.File("dir.jpg").c_str(), 0755), 0);
  ASSERT_EQ(symlink("nowhere.jpg", dir.File("dangling.jpg").c_str()), 0);
  for (const char* name : {"file.jpg", "dir.jpg", "dangling.jpg"}) {
    std::string why;
    EXPECT_EQ(Save(canvas_.get(), dir.File(name), Clsid(u"image/jpeg"), &why), Win32Error) << name;
    EXPECT_EQ(why, "File exists") << name;
  }
  EXPECT_EQ(ReadFileBytes(dir.File("file.jpg")), "precious");
  struct stat st {};
  ASSERT_EQ(lstat(dir.File("dir.jpg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(lstat(dir.File("dangling.jpg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_TRUE(Listing(dir.File("dir.jpg")).empty());
  // Neither the link's target nor any temporary file was created.
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"dangling.jpg", "dir.jpg", "file.jpg"}));
}

TEST_F(SaveTest, ANameThatAppearsWhileSavingIsNotReplaced) {
  for (SaveFallback fallback : {SaveFallback::kNone, SaveFallback::kLink}) {
    SCOPED_TRACE(Describe(fallback));
    TempDir dir;
    ForcedFallback force(fallback);
    CheckRace(dir, fallback != SaveFallback::kNone);
  }
  // And when the name stays free, each fallback puts the file in place as well; the last
  // one, without hard links, writes the destination itself after the link was refused.
  for (SaveFallback fallback : {SaveFallback::kLink, SaveFallback::kCreateInPlace}) {
    SCOPED_TRACE(Describe(fallback));
    TempDir dir;
    ForcedFallback force(fallback);
    std::string why;
    EXPECT_EQ(Save(canvas_.get(), dir.File("free.png"), Clsid(u"image/png"), &why), Ok) << why;
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"free.png"});
    EXPECT_EQ(ReadImageFile(dir.File("free.png")).Argb(0, 0), 0xFF2080C0u);
  }
}

void SaveTest::CheckRace(const TempDir& dir, bool named_temp) {
  const std::string dst = dir.File("race.png");
  int calls = 0;
  SaveHookGuard hook([&](const std::string& destination) {
    ++calls;
    EXPECT_EQ(destination, dst);
    // The encoded file is complete by now, under its temporary name, or, where the file
    // system can, under no name at all.
    EXPECT_EQ(Listing(dir.path()).size(), named_temp ? 1u : 0u);
    WriteFileBytes(destination, "someone else's");
  });
  std::string why;
  EXPECT_EQ(Save(canvas_.get(), dst, Clsid(u"image/png"), &why), Win32Error);
  EXPECT_EQ(why, "File exists");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ReadFileBytes(dst), "someone else's");
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"race.png"});
}

TEST_F(SaveTest, FailuresLeaveNothingBehind) {
  std::string why;
  // No such directory.
  EXPECT_EQ(Save(canvas_.get(), dir_.File("missing/out.png"), Clsid(u"image/png"), &why),
            FileNotFound);
  EXPECT_EQ(why, "No such file or directory");
  // A directory part that is a file.
  ASSERT_TRUE(WriteFileBytes(dir_.File("plain"), "x"));
  EXPECT_EQ(Save(canvas_.get(), dir_.File("plain/out.png"), Clsid(u"image/png"), &why),
            FileNotFound);
  EXPECT_EQ(why, "Not a directory");
  // The encoder fails: WebP cannot hold a picture this wide.
  Bitmap wide(16384, 1, PixelFormat32bppARGB);
  EXPECT_NE(Save(wide.get(), dir_.File("wide.webp"), Clsid(u"image/webp"), &why), Ok);
  EXPECT_NE(why.find("WebP"), std::string::npos) << why;
  // libjpeg refuses more than 65500 pixels a side; its error comes back instead of ending
  // the process.
  Bitmap too_wide_for_jpeg(65501, 1, PixelFormat32bppARGB);
  EXPECT_EQ(Save(too_wide_for_jpeg.get(), dir_.File("wide.jpg"), Clsid(u"image/jpeg"), &why),
            GenericError);
  EXPECT_EQ(why.rfind("JPEG: ", 0), 0u) << why;
  EXPECT_NE(why.find("65500"), std::string::npos) << why;
  // An encoder whose module (or the image library it needs) cannot be loaded says so.
  SetModuleDirectoryForTesting(dir_.File("no-modules"));
  const GpStatus unloadable =
      Save(canvas_.get(), dir_.File("none.tif"), Clsid(u"image/tiff"), &why);
  SetModuleDirectoryForTesting("");
  EXPECT_EQ(unloadable, FileNotFound);
  EXPECT_EQ(why.rfind("cannot load the TIFF encoder: ", 0), 0u) << why;
  EXPECT_NE(why.find("encoder_tiff.so"), std::string::npos) << why;
  // No image, no encoder.
  EXPECT_EQ(Save(nullptr, dir_.File("none.png"), Clsid(u"image/png"), &why), InvalidParameter);
  const GUID unknown{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(Save(canvas_.get(), dir_.File("none.png"), unknown, &why), UnknownImageFormat);
  EXPECT_EQ(GdipSaveImageToFile(canvas_.get(), nullptr, &Clsid(u"image/png"), nullptr, nullptr),
            InvalidParameter);
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"plain"});
}

TEST_F(SaveTest, AFullDiskLeavesNoPartialFile) {
  // The file-size limit makes writes fail the way a full disk does, in a child process; the
  // sheet written under its own name goes as well.
  Bitmap big(200, 200, PixelFormat32bppARGB);  // 120 KB as BMP
  for (SaveFallback fallback : {SaveFallback::kNone, SaveFallback::kCreateInPlace}) {
    SCOPED_TRACE(Describe(fallback));
    TempDir dir;
    const std::string dst = dir.File("big.bmp");
    const int code = InChild([&] {
      ForceSaveFallbackForTesting(fallback);
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{4096, 4096};
      // Written in place, the sheet comes after a named temporary file that had room.
      SaveHookGuard hook([&](const std::string&) { setrlimit(RLIMIT_FSIZE, &limit); });
      if (fallback == SaveFallback::kNone && setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
      std::string why;
      if (Save(big.get(), dst, Clsid(u"image/bmp"), &why) == Ok) return 11;
      return why == "File too large" ? 0 : 12;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(Listing(dir.path()).empty());
  }
}

// AVIF's encoder fails where memory runs out, in words that end in what failed: libaom
// often gives no detail, which libavif would print as "(null)".
TEST_F(SaveTest, AnEncoderOutOfMemorySaysWhatFailed) {
  if (RunningUnderAddressSanitizer()) GTEST_SKIP() << "no address-space bound under ASan";
  // The module is loaded before memory is bounded.
  std::string loaded;
  ASSERT_NE(LoadEncoder(*FindEncoder(Clsid(u"image/avif")), &loaded), nullptr) << loaded;
  Bitmap picture(640, 480, PixelFormat32bppARGB);
  const std::string dst = dir_.File("picture.avif");
  int failures = 0;
  // Bounds a little above what the process holds already, up to one that is enough: some let
  // libaom start and fail later, some not start at all (and some end in libavif's own abort,
  // which says nothing).
  for (std::int64_t extra_mb = 8; extra_mb <= 96; extra_mb += 8) {
    const int code = InChild([&] {
      rlimit limit{};
      limit.rlim_cur = limit.rlim_max =
          static_cast<rlim_t>(AddressSpaceInUse() + extra_mb * 1024 * 1024);
      if (setrlimit(RLIMIT_AS, &limit) != 0) return 10;
      std::string why;
      if (Save(picture.get(), dst, Clsid(u"image/avif"), &why) == Ok) return 0;
      if (why.rfind("AVIF: ", 0) != 0) return 11;
      return why.ends_with("(null)") || why.ends_with(": ") ? 12 : 1;
    });
    EXPECT_NE(code, 10);
    EXPECT_NE(code, 11) << extra_mb << " MB";
    EXPECT_NE(code, 12) << extra_mb << " MB";
    if (code == 1) ++failures;
    if (code == 0) break;  // enough memory from here on
    std::remove(dst.c_str());
  }
  EXPECT_GT(failures, 0) << "no bound made the encoder fail";
}

TEST_F(SaveTest, ADirectoryWithoutWritePermissionIsRefused) {
  const std::string locked = dir_.File("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  auto attempt = [&] {
    std::string why;
    const GpStatus s = Save(canvas_.get(), locked + "/out.png", Clsid(u"image/png"), &why);
    if (s != AccessDenied) return 20;
    return why == "Permission denied" ? 0 : 21;
  };
  int code;
  if (geteuid() == 0) {
    // Root ignores permissions; an unprivileged user in a child process does not.
    code = InChild([&] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return 30;
      return attempt();
    });
  } else {
    code = attempt();
  }
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(Listing(locked).empty());
}

}  // namespace

// Where the file system cannot make a file without a name, the temporary file of a save
// that a signal ends goes with the process: it is removed before the signal takes effect. So
// is the sheet written under its own name where the file system has no hard links.
TEST_F(SaveTest, ASignalDuringASaveToANamedTemporaryFileRemovesIt) {
  for (SaveFallback fallback : {SaveFallback::kLink, SaveFallback::kCreateInPlace}) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
      SCOPED_TRACE(std::string(Describe(fallback)) + ", " + strsignal(sig));
      TempDir dir;
      const std::string dst = dir.File("sheet.png");
      const int code = InChild([&] {
        ForceSaveFallbackForTesting(fallback);
        // The signal arrives when the image is complete under its temporary name, or in
        // place, after the temporary file of the refused link is gone.
        int calls = 0;
        const int last_call = fallback == SaveFallback::kCreateInPlace ? 2 : 1;
        SaveHookGuard hook([&](const std::string&) {
          if (++calls < last_call) return;
          if (Listing(dir.path()).size() != 1) _exit(20);
          raise(sig);
        });
        std::string why;
        Save(canvas_.get(), dst, Clsid(u"image/png"), &why);
        return 0;  // not reached: the signal ends the process
      });
      EXPECT_EQ(code, 128 + sig);
      EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{});
    }
  }
}
