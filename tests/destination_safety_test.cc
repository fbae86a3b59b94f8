// SPDX-License-Identifier: GPL-3.0-or-later
// The destination at the command line: vgrid never writes through a name that exists in any
// form, and a save that cannot happen ends with the save diagnostic, exit 1 and nothing left
// behind, not even its temporary file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "testutil/child_process.h"
#include "testutil/fixture_movies.h"
#include "testutil/image_read.h"
#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"
#include "testutil/vgrid_run.h"

namespace {

const std::string kRefusal = "出力ファイルがすでに存在します。";
const std::string kSaveFailed = "出力ファイルを保存できません: ";

// What identifies a directory entry and its content without following a link.
struct EntryState {
  bool exists = false;
  mode_t mode = 0;
  timespec mtime{};
  std::string content;  // file bytes, link target, or the directory's names
  bool operator==(const EntryState& o) const {
    return exists == o.exists && mode == o.mode && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && content == o.content;
  }
};

EntryState StateOf(const std::string& path) {
  EntryState s;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.mode = st.st_mode;
  s.mtime = st.st_mtim;
  if (S_ISREG(st.st_mode)) {
    s.content = ReadFileBytes(path);
  } else if (S_ISLNK(st.st_mode)) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    s.content.assign(target, n > 0 ? static_cast<std::size_t>(n) : 0);
  } else if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : DirectoryEntries(path)) s.content += name + "/";
  }
  return s;
}

class DestinationSafetyTest : public SmallMovieRunTest {
 protected:
  RunResult Vgrid(const std::vector<std::string>& args) { return RunVgrid(args); }

  // A run on `src` that must fail at the save: the diagnostic, exit 1, the directory as it was.
  void ExpectSaveFailure(const RunResult& r, const std::string& src, const std::string& dir,
                         const std::vector<std::string>& entries_before, const std::string& cause) {
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.err.rfind(src + ": " + kSaveFailed, 0), 0u) << r.err;
    EXPECT_TRUE(IsOneLine(r.err)) << r.err;
    EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
    // The sheet was made: every cell was drawn before the save was tried.
    EXPECT_NE(r.out.find("complete\n"), std::string::npos) << r.out;
    EXPECT_EQ(DirectoryEntries(dir), entries_before);
  }
};

TEST_F(DestinationSafetyTest, ExistingEntriesOfEveryKindAreRefusedUntouched) {
  TempDir dir;
  const std::string file = dir.File("file.jpg");
  ASSERT_TRUE(WriteFileBytes(file, "precious bytes"));
  // An old modification time: a rewrite of the same bytes would still show.
  const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), old_times, 0), 0);
  const std::string directory = dir.File("directory.jpg");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  const std::string dangling = dir.File("dangling.jpg");
  ASSERT_EQ(symlink(dir.File("target-not-there.jpg").c_str(), dangling.c_str()), 0);
  const std::string to_directory = dir.File("to-directory.jpg");
  const std::string linked_dir = dir.File("linked");
  ASSERT_EQ(mkdir(linked_dir.c_str(), 0755), 0);
  ASSERT_EQ(symlink(linked_dir.c_str(), to_directory.c_str()), 0);
  // A default destination (the source's name with .jpg) that is a dangling link: writing
  // through it would create the file it points at.
  const std::string src = dir.File("clip.mkv");
  ASSERT_EQ(symlink(movie_.c_str(), src.c_str()), 0);
  const std::string default_dst = dir.File("clip.jpg");
  ASSERT_EQ(symlink(dir.File("created-through-link.jpg").c_str(), default_dst.c_str()), 0);

  struct Case {
    std::vector<std::string> args;
    std::string dst;
  } cases[] = {
      {{movie_, file}, file},         {{"-f:png", movie_, directory}, directory},
      {{movie_, dangling}, dangling}, {{movie_, to_directory}, to_directory},
      {{src}, default_dst},           {{movie_, dir.File("*")}, movie_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dst);
    const std::vector<std::string> entries = DirectoryEntries(dir.path());
    const EntryState before = StateOf(c.dst);
    const EntryState linked_before = StateOf(linked_dir);
    ASSERT_TRUE(before.exists);
    RunResult r = Vgrid(c.args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "dst: " + c.dst + "\n" + kRefusal);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(StateOf(c.dst) == before);
    EXPECT_TRUE(StateOf(linked_dir) == linked_before);
    EXPECT_EQ(DirectoryEntries(dir.path()), entries);
  }
  EXPECT_FALSE(PathEntryExists(dir.File("target-not-there.jpg")));
  EXPECT_FALSE(PathEntryExists(dir.File("created-through-link.jpg")));
}

TEST_F(DestinationSafetyTest, MissingOrReadOnlyDirectoryEndsWithTheSaveDiagnostic) {
  TempDir dir;
  {
    const std::vector<std::string> before = DirectoryEntries(dir.path());
    RunResult r = Vgrid({movie_, dir.File("missing/sheet.jpg")});
    ExpectSaveFailure(r, movie_, dir.path(), before, "No such file or directory");
  }

  // A directory the run may not write in. root may write anywhere, so then the run is
  // started as nobody, on a copy of the movie that nobody can read.
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string locked = dir.File("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
  const std::string movie = dir.File("movie.mkv");
  ASSERT_TRUE(WriteFileBytes(movie, ReadFileBytes(movie_)));
  ASSERT_EQ(chmod(movie.c_str(), 0644), 0);
  std::vector<std::string> args = {movie, locked + "/sheet.jpg"};
  RunResult r;
  if (geteuid() == 0) {
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "root, and no setpriv to drop it";
    // The binary must be reachable by nobody too.
    if (!std::filesystem::exists(VgridBinaryPath()))
      GTEST_SKIP() << "no binary at " << VgridBinaryPath();
    std::vector<std::string> as_nobody = {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                          VgridBinaryPath()};
    as_nobody.insert(as_nobody.end(), args.begin(), args.end());
    RunOptions options;
    options.set_env = {"LC_ALL=C.UTF-8"};
    r = RunBinary("/usr/bin/setpriv", as_nobody, options);
    if (r.err.rfind("setpriv:", 0) == 0)
      GTEST_SKIP() << "cannot run vgrid as nobody here: " << r.err;
  } else {
    r = Vgrid(args);
  }
  ExpectSaveFailure(r, movie, locked, {}, "Permission denied");
}

// A small file system of our own, unmounted (and its mount point removed) at the end.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const std::string& dir) : dir_(dir) {
    mkdir(dir_.c_str(), 0755);
    if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=256k") == 0) {
      mounted_ = true;
    } else {
      why_ = std::string("mount: ") + std::strerror(errno);
    }
  }
  ~SmallTmpfs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string why_;
};

TEST_F(DestinationSafetyTest, FullFileSystemEndsWithTheSaveDiagnosticAndLeavesNothing) {
  TempDir dir;
  const std::string mount_point = dir.File("small");
  SmallTmpfs fs(mount_point);
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (" << fs.why() << ")";
  // A BMP sheet of 3 x 3 cells of 320 x 240: 2 MB that 256 KiB cannot hold.
  RunResult r = Vgrid(
      {"-c=3", "-r=3", "-w=320", "-h=240", "-f:image/bmp", movie_, mount_point + "/sheet.bmp"});
  ExpectSaveFailure(r, movie_, mount_point, {}, "No space left on device");
  // And the space is free again: a sheet that fits is written.
  RunResult small = Vgrid({"-c=1", "-r=1", "-w=32", "-h=24", movie_, mount_point + "/ok.jpg"});
  EXPECT_EQ(small.exit_code, 0) << small.err;
  EXPECT_EQ(DirectoryEntries(mount_point), std::vector<std::string>{"ok.jpg"});
}

TEST_F(DestinationSafetyTest, DestinationThatAppearsDuringTheRunIsNotOverwritten) {
  TempDir dir;
  const std::string dst = dir.File("late.jpg");
  // Many small cells: the run goes on long after its first mark.
  ChildProcess child(VgridBinaryPath(), {"-c=25", "-r=20", "-w=16", "-h=12", movie_, dst},
                     {"LC_ALL=C.UTF-8"});
  ASSERT_EQ(child.start_error(), "");
  ASSERT_TRUE(child.WaitForOutput("O", 30000)) << "no progress mark";
  // Another program takes the name while the sheet is being drawn.
  const int fd = open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0) << "the run ended before the name could be taken: " << std::strerror(errno);
  ASSERT_EQ(write(fd, "someone else's", 14), 14);
  close(fd);
  RunResult r = child.Finish(60);
  ExpectSaveFailure(r, movie_, dir.path(), {"late.jpg"}, "File exists");
  EXPECT_EQ(ReadFileBytes(dst), "someone else's");
}

// A whole library through GNU parallel, with the README's command: four jobs over a folder of
// 20 movies, two of them broken, one listed twice. Each good movie gets exactly one sheet and
// the joblog shows exit 1 for the broken ones; the same command again writes nothing and
// changes no file. scripts/library.sh does the same over a folder tree.
TEST_F(DestinationSafetyTest, LibraryThroughGnuParallelGetsEachSheetOnceAndReRunsChangeNothing) {
  const std::string parallel = "/usr/bin/parallel";
  ASSERT_EQ(access(parallel.c_str(), X_OK), 0) << "GNU parallel is missing (scripts/deps.sh)";
  TempDir work;
  const std::string lib = work.File("library");
  ASSERT_EQ(mkdir(lib.c_str(), 0755), 0);
  // Names a shell would split or unquote, which parallel must pass on intact.
  std::vector<std::string> good;
  for (int i = 1; i <= 18; ++i) {
    const std::string n = (i < 10 ? "0" : "") + std::to_string(i);
    good.push_back(lib + "/" +
                   (i % 3 == 0   ? "movie " + n
                    : i % 3 == 1 ? "it's \"" + n + "\""
                                 : n) +
                   ".mkv");
    ASSERT_TRUE(std::filesystem::copy_file(movie_, good.back())) << good.back();
  }
  FixtureSpec audio;
  audio.audio_only = true;
  std::string error;
  const std::string audio_only = FixtureMovie(audio, &error);
  ASSERT_FALSE(audio_only.empty()) << error;
  const std::string no_video = lib + "/no video.mkv", garbage = lib + "/garbage.mp4";
  ASSERT_TRUE(std::filesystem::copy_file(audio_only, no_video));
  ASSERT_TRUE(WriteFileBytes(garbage, std::string(5000, 'x')));
  // The job list, as find -print0 gives it: good[0] comes first and again last.
  std::vector<std::string> jobs = good;
  jobs.insert(jobs.begin() + 6, garbage);
  jobs.insert(jobs.begin() + 12, no_video);
  jobs.push_back(good[0]);
  std::string list;
  for (const std::string& j : jobs) list += j + '\0';

  auto run_library = [&](const std::string& joblog) {
    RunOptions options;
    options.set_env = {"LC_ALL=C.UTF-8"};
    options.input = list;
    options.timeout_seconds = 120;
    const RunResult r = RunBinary(
        parallel,
        {"-0", "-j4", "-q", "--joblog", joblog, VgridBinaryPath(), "-c=2", "-r=2", "{}", "*.jpg"},
        options);
    EXPECT_EQ(r.exit_code, 2) << "parallel counts the failed jobs\n" << r.err;
    // Exit value of each job, by its place in the list (the joblog's Seq column).
    std::vector<int> exits(jobs.size(), -1);
    std::istringstream log(ReadFileBytes(joblog));
    std::string line;
    std::getline(log, line);  // the heading
    while (std::getline(log, line)) {
      std::vector<std::string> fields;
      std::istringstream cells(line);
      for (std::string f; std::getline(cells, f, '\t');) fields.push_back(f);
      if (fields.size() < 9) continue;
      const std::size_t seq = std::stoul(fields[0]);
      if (seq >= 1 && seq <= jobs.size()) exits[seq - 1] = std::stoi(fields[6]);
    }
    return exits;
  };
  std::vector<int> expected_exits(jobs.size(), 0);
  expected_exits[6] = expected_exits[12] = 1;

  std::vector<std::string> expected_entries = DirectoryEntries(lib);
  ASSERT_EQ(expected_entries.size(), 20u);
  EXPECT_EQ(run_library(work.File("first.log")), expected_exits);
  for (const std::string& g : good) {
    EXPECT_EQ(ReadFileBytes(g + ".jpg").substr(0, 2), "\xFF\xD8") << g;
    expected_entries.push_back(g.substr(lib.size() + 1) + ".jpg");
  }
  std::sort(expected_entries.begin(), expected_entries.end());
  EXPECT_EQ(DirectoryEntries(lib), expected_entries);  // 18 sheets, and no temporary file left

  // Again: every job ends as before, and not one entry of the folder changes.
  std::vector<std::pair<std::string, EntryState>> before;
  for (const std::string& name : DirectoryEntries(lib))
    before.emplace_back(name, StateOf(lib + "/" + name));
  EXPECT_EQ(run_library(work.File("second.log")), expected_exits);
  std::vector<std::pair<std::string, EntryState>> after;
  for (const std::string& name : DirectoryEntries(lib))
    after.emplace_back(name, StateOf(lib + "/" + name));
  EXPECT_TRUE(after == before);

  // scripts/library.sh over a folder tree: a movie in a sub-folder gets its sheet beside it,
  // named after its whole name with the extension of the format, a '*' in the folder's name
  // notwithstanding; a sheet that exists stays as it is; a broken movie is the one failure,
  // its diagnostic passed on and its name in the closing summary; a file that is not a movie
  // by its name is never handed to vgrid (it would be a second failure).
  const std::string script =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "scripts/library.sh";
  ASSERT_EQ(access(script.c_str(), R_OK), 0) << script;
  const std::string tree = work.File("tree"), sub = tree + "/sub *dir";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  ASSERT_TRUE(std::filesystem::copy_file(movie_, sub + "/new.MKV"));
  ASSERT_TRUE(std::filesystem::copy_file(movie_, tree + "/old.mkv"));
  ASSERT_TRUE(WriteFileBytes(tree + "/old.mkv.png", "someone else's"));
  ASSERT_TRUE(WriteFileBytes(tree + "/notes.txt", "not a movie"));
  ASSERT_TRUE(std::filesystem::copy_file(garbage, tree + "/bad.avi"));
  RunOptions options;
  options.set_env = {"LC_ALL=C.UTF-8", "VGRID=" + VgridBinaryPath()};
  const RunResult r = RunBinary("/bin/bash", {script, tree, "-c=2", "-r=2", "-f:p"}, options);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  const std::string summary = "library.sh: 1 of 3 movies failed:\n  " + tree + "/bad.avi\n";
  ASSERT_TRUE(r.err.ends_with(summary)) << r.err;
  // The failed movie's own line comes through, naming it.
  EXPECT_EQ(r.err.rfind(tree + "/bad.avi: ", 0), 0u) << r.err;
  EXPECT_TRUE(IsOneLine(r.err.substr(0, r.err.size() - summary.size()))) << r.err;
  EXPECT_EQ(DirectoryEntries(tree), (std::vector<std::string>{"bad.avi", "notes.txt", "old.mkv",
                                                              "old.mkv.png", "sub *dir"}));
  EXPECT_EQ(ReadFileBytes(tree + "/old.mkv.png"), "someone else's");
  EXPECT_EQ(DirectoryEntries(sub), (std::vector<std::string>{"new.MKV", "new.MKV.png"}));
  EXPECT_EQ(ReadFileBytes(sub + "/new.MKV.png").substr(0, 4), "\x89PNG");
}

// A run ended by a signal while it saves leaves nothing: the image has no name until it is
// complete, or its temporary name goes with the run. The run is ended the moment any name
// but the sheet's appears in the directory; a run that shows none has nothing to leave.
TEST_F(DestinationSafetyTest, ASignalDuringTheSaveLeavesNothing) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    TempDir dir;
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);
    // A BMP of 2400 x 1800: 13 MB to write and sync after the last cell.
    ChildProcess child(
        VgridBinaryPath(),
        {"-c=10", "-r=10", "-w=240", "-h=180", "-f:image/bmp", movie_, dir.File("sheet.bmp")},
        {"LC_ALL=C.UTF-8"});
    ASSERT_EQ(child.start_error(), "");
    ASSERT_TRUE(child.WaitForOutput("complete", 30000)) << "the sheet was not drawn";
    std::vector<std::string> names;
    bool signalled = false;
    for (int waited = 0; waited < 30000 && !signalled; ++waited) {
      alignas(inotify_event) char events[4096];
      const ssize_t n = read(watch, events, sizeof events);
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(events + at);
        const std::string name = e->len > 0 ? e->name : "";
        names.push_back(name);
        if (name != "sheet.bmp" && !signalled) signalled = kill(child.pid(), sig) == 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
      if (std::find(names.begin(), names.end(), "sheet.bmp") != names.end()) break;
      if (n <= 0) usleep(1000);
    }
    close(watch);
    RunResult r = child.Finish(60);
    if (signalled) {
      EXPECT_EQ(r.term_signal, sig);
      EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{})
          << "left by the ended run";
    } else {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(names, std::vector<std::string>{"sheet.bmp"});
      EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"sheet.bmp"});
    }
  }
}

// The console may go away during a run (a reader of the progress that has seen enough): the
// sheet is still made, and the run ends as it would have.
TEST_F(DestinationSafetyTest, AConsoleThatGoesAwayDoesNotEndTheRun) {
  TempDir dir;
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  close(out[0]);  // no reader at all: the very first write finds the pipe broken
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const std::string binary = VgridBinaryPath();
  const std::string dst = dir.File("sheet.png");
  std::vector<std::string> args = {binary, "-c=3", "-r=2", "-f:png", movie_, dst};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(ReadImageFile(dst).ok());
}

// A sheet larger than its format can hold (JPEG 65,500 pixels a side, WebP 16,383), or than
// its encoder writes within its bounds (JPEG XL 12 megapixels, JPEG 100), or a name the file system
// cannot hold (a part over 255 bytes, or the whole over PATH_MAX), ends with the save
// diagnostic before the first grab, not after every cell was grabbed for nothing.
TEST_F(DestinationSafetyTest, ASheetTooLargeForItsFormatIsRefusedBeforeAnyGrab) {
  std::string deep;
  while (deep.size() < 4096) deep += std::string(250, 'd') + "/";
  const struct {
    std::vector<std::string> args;
    std::string name;
    const char* limit;
  } cases[] = {
      {{"-c=5", "-r=1", "-w=13101", "-h=2", "-f:j"}, "wide.jpg", "65500"},
      {{"-c=1", "-r=2", "-w=2", "-h=8200", "-f:image/webp"}, "tall.webp", "16383"},
      {{"-c=2", "-r=2", "-w=2000", "-h=1600", "-f:image/jxl"}, "big.jxl", "12 megapixels at most"},
      {{"-c=1", "-r=1", "-w=10000", "-h=10001", "-f:j"}, "big.jpg", "100 megapixels at most"},
      {{"-f:j"}, std::string(252, 'n') + ".jpg", "File name too long"},
      {{"-f:j"}, deep + "sheet.jpg", "File name too long"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40));
    TempDir dir;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {movie_, dir.File(c.name)});
    RunResult r = Vgrid(args);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.err.rfind(movie_ + ": " + kSaveFailed, 0), 0u) << r.err;
    EXPECT_TRUE(IsOneLine(r.err)) << r.err;
    EXPECT_NE(r.err.find(c.limit), std::string::npos) << r.err;
    // No progress mark after the settings echo (whose paths may hold an O of their own).
    const std::size_t echo_end = r.out.find("rows: ");
    ASSERT_NE(echo_end, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('O', echo_end), std::string::npos) << "grabbed: " << r.out;
    EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{});
  }
}

// A GIF sheet larger than 2048 x 2048 pixels: the quantizer works on it differently (and,
// in libimagequant 2.17, loses two buffers of its own, which the sanitizer run is told to
// pass over in scripts/lsan_system.supp; any other leak still fails it).
TEST_F(DestinationSafetyTest, AGifSheetOverTwoThousandPixelsASideIsWritten) {
  TempDir dir;
  const std::string dst = dir.File("big.gif");
  RunResult r = Vgrid({"-c=3", "-r=3", "-w=700", "-h=700", "-f:g", movie_, dst});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const DecodedImage sheet = ReadImageFile(dst);
  EXPECT_TRUE(sheet.ok()) << sheet.error;
  EXPECT_EQ(sheet.format, "gif");
  EXPECT_EQ(sheet.width, 2100);
  EXPECT_EQ(sheet.height, 2100);
}

}  // namespace
