// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the command line from end to end of the front end's parse. One input is read
// two ways:
// - as the whole command line (up to its first NUL, as the process hands it over): split,
//   parsed into the settings and named, and the outcome checked against the tokens;
// - as an argument vector (arguments separated by NUL bytes): joined into one line as the
//   driver rebuilds it, which must split back into exactly those arguments.
// The parse runs in a scratch directory of its own that holds a few entries, so the existence
// test meets both answers; everything it prints goes to /dev/null.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/console_main.h"
#include "app/destination.h"
#include "settings/run_settings.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "command_line_fuzzer: %s\ninput: [", what);
  std::fwrite(input.data(), 1, input.size(), stderr);
  std::fprintf(stderr, "]\n");
  std::abort();
}

void Check(bool ok, const char* what, std::string_view input) {
  if (!ok) Fail(what, input);
}

int g_null_fd = -1;

// Standard output goes to /dev/null for the whole process: the parse prints the usage text
// and refusals there, and libFuzzer and the replay report on standard error.
bool SetUpOnce() {
  g_null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (g_null_fd < 0) std::abort();
  std::fflush(stdout);
  dup2(g_null_fd, STDOUT_FILENO);
  char pattern[] = "/tmp/vgrid-fuzz-cwd-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr || chdir(dir) != 0) std::abort();
  // What a destination name may run into: a file, a directory, a dangling link, a file
  // named like a default destination. The directory is left behind on purpose: a fuzzer
  // never returns normally, and it is tiny.
  for (const char* name : {"a.jpg", "a", ".jpg", "x.avi.jpg"}) {
    int fd = open(name, O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) close(fd);
  }
  mkdir("d", 0755);
  mkdir("d.png", 0755);
  if (symlink("nowhere", "l.gif") != 0) std::abort();
  return true;
}

bool IsOption(const std::string& token) { return !token.empty() && token.front() == '-'; }

bool KnownOption(const std::string& token) {
  return token.size() > 1 &&
         std::string_view("bcdfhiqrstw").find(token[1]) != std::string_view::npos;
}

void CheckSplit(std::string_view line, const std::vector<std::string>& tokens) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    // Only the program name can come out empty.
    Check(i == 0 || !tokens[i].empty(), "an empty argument after the program name", line);
    total += tokens[i].size();
  }
  Check(total <= line.size(), "the tokens hold more bytes than the line", line);
  // The tokens are a fixed point: quoted and joined again they split into the same tokens.
  // An empty program name is the one token the quoting drops (it leaves a leading space,
  // which reads back as the same empty name).
  Check(SplitCommandLine(JoinCommandLine(tokens)) == tokens ||
            (tokens.size() == 1 && tokens[0].empty()),
        "the split tokens do not survive a second quoting", line);
}

void CheckParse(std::string_view line) {
  const std::vector<std::string> tokens = SplitCommandLine(line);
  CheckSplit(line, tokens);

  // What the parse must conclude, from the tokens alone.
  std::vector<std::string> positional;
  bool unknown_option = false;
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    if (!IsOption(tokens[i])) {
      positional.push_back(tokens[i]);
    } else if (!KnownOption(tokens[i])) {
      unknown_option = true;
    }
  }
  const bool usage = tokens.size() < 2 || unknown_option || positional.size() > 2;

  // The option diagnostics (perror) go to /dev/null too, for the parse only: standard error
  // stays open for what the checks and the sanitizers report.
  RunSettings settings;
  std::fflush(stderr);
  const int saved_stderr = dup(STDERR_FILENO);
  dup2(g_null_fd, STDERR_FILENO);
  const ParseOutcome outcome = ParseCommandLine(line, settings);
  std::fflush(stderr);
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  if (usage) {
    Check(outcome == ParseOutcome::kUsage, "a refused command line was not refused", line);
    return;
  }
  Check(outcome != ParseOutcome::kUsage, "a good command line was refused", line);
  const std::string src = positional.empty() ? "" : positional[0];
  const std::string given = positional.size() < 2 ? "" : positional[1];
  Check(settings.src == src, "src is not the first positional argument", line);
  Check(settings.dst == DestinationName(src, given, settings.format),
        "dst is not the name made from the arguments", line);
  const bool exists = PathFileExistsA(settings.dst.c_str());
  Check(outcome == (exists ? ParseOutcome::kDestinationExists : ParseOutcome::kRun),
        "the existence test disagrees with the file system", line);
}

void CheckNaming(std::string_view src, std::string_view dst, std::string_view format,
                 std::string_view input) {
  const std::size_t ext = FindExtension(src);
  Check(ext <= src.size(), "FindExtension past the end", input);
  if (ext < src.size()) {
    Check(src[ext] == '.', "FindExtension not at a dot", input);
    Check(src.find('/', ext) == std::string_view::npos, "an extension across a directory", input);
  }
  const std::string name = DestinationName(src, dst, format);
  if (dst.empty()) {
    const std::string_view suffix = format == "image/png"   ? ".png"
                                    : format == "image/gif" ? ".gif"
                                                            : ".jpg";
    Check(name.size() == ext + 4 && name.compare(0, ext, src.substr(0, ext)) == 0 &&
              std::string_view(name).substr(ext) == suffix,
          "a derived name is not the source with the format's extension", input);
  } else if (std::size_t star = dst.find('*'); star != std::string_view::npos) {
    Check(name == std::string(src) + std::string(dst.substr(star + 1)),
          "a pattern name is not the source followed by the pattern's tail", input);
  } else {
    Check(name == dst, "a plain name was changed", input);
  }
}

void CheckArgv(std::string_view data) {
  std::vector<std::string> args;
  std::string current;
  for (char c : data) {
    if (c == '\0') {
      args.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  args.push_back(std::move(current));
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  RememberProcessArguments(static_cast<int>(args.size()), argv.data());
  bool empty_after_name = false;
  for (std::size_t i = 1; i < args.size(); ++i) empty_after_name |= args[i].empty();
  Check(CommandLineHasEmptyArgument() == empty_after_name, "empty-argument flag wrong", data);
  if (empty_after_name) return;
  const std::vector<std::string> back = SplitCommandLine(GetCommandLineA());
  if (args.size() == 1 && args[0].empty()) {
    Check(back.empty(), "an empty program name alone made a token", data);
  } else {
    Check(back == args, "the rebuilt command line does not split into the arguments", data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = SetUpOnce();
  (void)ready;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The process's command line is a C string: it ends at the first NUL.
  const std::string_view line = bytes.substr(0, bytes.find('\0'));
  CheckParse(line);

  // The naming rules on three pieces of the input, split at the first two NULs.
  std::string_view rest = bytes;
  std::string_view pieces[3];
  for (int i = 0; i < 3; ++i) {
    const std::size_t end = i < 2 ? rest.find('\0') : std::string_view::npos;
    pieces[i] = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  CheckNaming(pieces[0], pieces[1], pieces[2], bytes);
  CheckArgv(bytes);
  return 0;
}
