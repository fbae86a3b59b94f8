// SPDX-License-Identifier: GPL-3.0-or-later
// vgrid on files that are not good movies: truncated and corrupted movies of every fixture
// codec, files that are no movie at all, odd streams, and sources that are no regular file.
// Whatever it is given, a run ends within a time bound and 1 GiB of address space either with
// exit 0 and a sheet that decodes, or with exit 1, one diagnostic line and nothing written;
// never with a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frames/ffmpeg_media_det.h"
#include "frames/frame_source.h"
#include "platform/com.h"
#include "platform/text_conv.h"
#include "sheet/sheet_generator.h"
#include "testutil/fake_media_det.h"
#include "testutil/fixture_movies.h"
#include "testutil/image_read.h"
#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"
#include "testutil/vgrid_run.h"

namespace {

constexpr int kTimeoutSeconds = 30;
// A grid of small cells: the sheet of every run that succeeds is this size.
constexpr int kCols = 3, kRows = 2, kCellW = 32, kCellH = 24;

// What a run on a case may end with.
enum class Expect {
  kSheetOrDiagnostic,  // damaged: either outcome, as long as it is a clean one
  kSheet,              // an intact movie: must give a sheet
  kDiagnostic,         // no movie in it at all: must fail cleanly
};

struct HostileCase {
  std::string name;
  std::string src;
  Expect expect = Expect::kSheetOrDiagnostic;
  bool default_options = false;  // run with the default grid and cell size
  std::string says = {};         // words its diagnostic line must hold, if any
};

struct CaseResult {
  RunResult run;
  std::string out_dir;
  std::string dst;
};

// Runs are bounded in time and in address space: whatever a file claims, a run needs no more
// than 1 GiB, and a run that runs out of it still ends with its one line.
const VgridRunBounds kBounds = {kTimeoutSeconds, std::int64_t{1} << 30};

std::string Extension(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  return dot == std::string::npos ? "" : path.substr(dot);
}

// Reads a big-endian number of `n` bytes at `at`.
std::uint32_t BigEndian(const std::string& bytes, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

// An FLV whose header announces video only, whose audio begins after the part of the file
// that opening reads, and whose keyframe index points its first keyframe at the first audio
// tag: the demuxer adds the audio stream while the detector reads from there.
std::string StreamAppearingWhileReading(std::string flv) {
  std::size_t audio = 0;
  for (std::size_t at = 13; at + 11 <= flv.size(); at += 11 + BigEndian(flv, at + 1, 3) + 4) {
    if (flv[at] == 8) {
      audio = at;
      break;
    }
  }
  const std::size_t list = flv.find("filepositions");
  if (audio == 0 || list == std::string::npos || flv.size() < 9) return "";
  flv[4] = 0x01;  // video only
  // The name, the strict-array marker, its length, the number marker, then the first double.
  const std::size_t first = list + 13 + 1 + 4 + 1;
  double position = static_cast<double>(audio);
  std::uint64_t bits;
  std::memcpy(&bits, &position, sizeof bits);
  for (int i = 0; i < 8; ++i) flv[first + i] = static_cast<char>(bits >> (56 - 8 * i));
  return flv;
}

// An MJPEG movie whose pictures have lost every marker byte: the decoder finds no picture in
// any of them and the libraries would log that, at their "fatal" level, for each.
std::string WithoutJpegMarkers(std::string avi) {
  const std::size_t from = avi.find("movi"), to = avi.find("idx1");
  if (from == std::string::npos || to == std::string::npos) return "";
  for (std::size_t i = from; i < to; ++i) {
    if (avi[i] == '\xFF') avi[i] = 0;
  }
  return avi;
}

void PutBigEndian(std::string& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// An MP4 of one frame a track whose tables claim `samples` samples in every track: each sample
// size table of a constant size has its count raised, each sample-to-chunk table puts them
// all in the one chunk, and each run of a movie fragment has its count raised. Empty when
// there was nothing to raise.
std::string ClaimingSamples(std::string mp4, std::uint32_t samples) {
  bool raised = false;
  auto each = [&mp4](const char* type, auto change) {
    for (std::size_t at = 0; (at = mp4.find(type, at)) != std::string::npos; at += 4) change(at);
  };
  each("stsz", [&](std::size_t at) {
    if (BigEndian(mp4, at + 8, 4) == 0 || BigEndian(mp4, at + 12, 4) == 0) return;
    PutBigEndian(mp4, at + 12, samples);
    raised = true;
  });
  each("stsc", [&](std::size_t at) {
    if (BigEndian(mp4, at + 8, 4) > 0) PutBigEndian(mp4, at + 16, samples);
  });
  each("trun", [&](std::size_t at) {
    PutBigEndian(mp4, at + 8, samples);
    raised = true;
  });
  return raised ? mp4 : "";
}

// The MP4 `mp4`, whose movie header is its last box, with that header compressed as old
// QuickTime files have it: a 'cmov' box of a 'dcom' naming zlib and a 'cmvd' of the deflated
// boxes.
std::string WithCompressedHeader(const std::string& mp4) {
  const std::size_t moov = mp4.rfind("moov");
  if (moov == std::string::npos || moov < 4 || BigEndian(mp4, moov - 4, 4) != mp4.size() - moov + 4)
    return "";
  const std::string boxes = mp4.substr(moov + 4);
  uLongf deflated_size = compressBound(boxes.size());
  std::string deflated(deflated_size, '\0');
  if (compress(reinterpret_cast<Bytef*>(deflated.data()), &deflated_size,
               reinterpret_cast<const Bytef*>(boxes.data()), boxes.size()) != Z_OK)
    return "";
  deflated.resize(deflated_size);
  auto box = [](const std::string& type, const std::string& body) {
    std::string b(4, '\0');
    PutBigEndian(b, 0, static_cast<std::uint32_t>(8 + body.size()));
    return b + type + body;
  };
  std::string size(4, '\0');
  PutBigEndian(size, 0, static_cast<std::uint32_t>(boxes.size()));
  return mp4.substr(0, moov - 4) +
         box("moov", box("cmov", box("dcom", "zlib") + box("cmvd", size + deflated)));
}

// An MP4 whose first sample-to-chunk entry names a sample description the track does not
// have: the demuxer leaves those chunks out of the index, and a seek back to the start finds
// nothing to land on.
std::string WithUnknownSampleDescription(std::string mp4) {
  const std::size_t stsc = mp4.find("stsc");
  if (stsc == std::string::npos || BigEndian(mp4, stsc + 20, 4) != 1) return "";
  PutBigEndian(mp4, stsc + 20, 2);
  return mp4;
}

std::string Corrupt(std::string bytes, std::size_t from, std::size_t to, std::uint32_t seed) {
  std::mt19937 random(seed);
  to = std::min(to, bytes.size());
  if (from >= to) return bytes;
  for (int i = 0; i < 32; ++i) {
    bytes[from + random() % (to - from)] = static_cast<char>(random() & 0xFF);
  }
  return bytes;
}

class HostileMoviesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VgridBinaryAvailable()) GTEST_SKIP() << "VGRID_BINARY does not name the built vgrid";
  }

  std::string Fixture(const FixtureSpec& spec) {
    std::string error;
    std::string path = FixtureMovie(spec, &error);
    EXPECT_FALSE(path.empty()) << error;
    return path;
  }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = work_.File(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes)) << path;
    return path;
  }

  // A command of the ffmpeg tool that makes `name` in the work directory.
  std::string Ffmpeg(const std::string& args, const std::string& name) {
    const std::string path = work_.File(name);
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " '" + path + "' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
  }

  // Every damaged form of one movie: cut short at several points, and bytes overwritten in
  // its header, its index (the end, where mp4, mkv and webm keep theirs here) and its middle.
  void AddDamaged(const std::string& label, const std::string& movie, std::uint32_t seed) {
    const std::string bytes = ReadFileBytes(movie);
    ASSERT_GT(bytes.size(), 1000u) << movie;
    const std::string ext = Extension(movie);
    const std::size_t n = bytes.size();
    cases_.push_back({label + "-intact", movie, Expect::kSheet});
    const std::pair<const char*, std::size_t> cuts[] = {
        {"head-only", 200}, {"cut10", n / 10}, {"cut50", n / 2}, {"cut90", n * 9 / 10}};
    for (const auto& [what, size] : cuts) {
      cases_.push_back(
          {label + "-" + what, Write(label + "-" + what + ext, bytes.substr(0, size))});
    }
    const struct {
      const char* what;
      std::size_t from, to;
    } spots[] = {{"header", 0, std::min<std::size_t>(n, 1024)},
                 {"index", n - std::min<std::size_t>(n / 10, 4096), n},
                 {"middle", n * 2 / 5, n * 3 / 5}};
    for (const auto& spot : spots) {
      for (std::uint32_t k = 0; k < 2; ++k) {
        const std::string name = label + "-bad-" + spot.what + std::to_string(k);
        cases_.push_back({name, Write(name + ext, Corrupt(bytes, spot.from, spot.to, seed + k))});
      }
      seed += 17;
    }
  }

  TempDir work_;
  std::vector<HostileCase> cases_;
};

TEST_F(HostileMoviesTest, EveryRunEndsCleanlyWithASheetOrOneDiagnostic) {
  // The fixture codecs, each in its usual container, small and short.
  struct Codec {
    const char* label;
    const char* container;
    const char* codec;
    std::vector<std::string> args;
    const char* pix_fmt;
  };
  const Codec codecs[] = {
      {"h264-mp4", "mp4", "libx264", {"-preset", "veryfast"}, ""},
      {"mpeg4-avi", "avi", "mpeg4", {"-q:v", "3"}, ""},
      {"mjpeg-avi", "avi", "mjpeg", {}, "yuvj420p"},
      {"vp9-webm", "webm", "libvpx-vp9", {"-deadline", "realtime", "-cpu-used", "8"}, ""},
      {"mpeg2-ts", "ts", "mpeg2video", {"-q:v", "3"}, ""},
      {"ffv1-mkv", "mkv", "ffv1", {}, ""},
      {"h264-raw", "h264", "libx264", {"-preset", "veryfast"}, ""},
  };
  std::uint32_t seed = 9100;
  for (const Codec& c : codecs) {
    FixtureSpec spec;
    spec.container = c.container;
    spec.codec = c.codec;
    spec.codec_args = c.args;
    spec.pix_fmt = c.pix_fmt;
    spec.width = 96;
    spec.height = 64;
    spec.frames = 20;
    spec.keyframe_interval = 5;
    const std::string movie = Fixture(spec);
    ASSERT_FALSE(movie.empty());
    AddDamaged(c.label, movie, seed);
    seed += 1000;
  }

  // Files that are no movie.
  cases_.push_back({"zero-length", Write("empty.mp4", ""), Expect::kDiagnostic});
  cases_.push_back({"text", Write("notes.avi", "This is not a movie.\nJust two lines of text.\n"),
                    Expect::kDiagnostic});
  cases_.push_back({"missing", work_.File("no-such-movie.mp4"), Expect::kDiagnostic});
  cases_.push_back({"still-png", Ffmpeg("-f lavfi -i color=red:s=64x48 -frames:v 1", "still.png")});
  cases_.push_back(
      {"still-jpeg", Ffmpeg("-f lavfi -i color=blue:s=64x48 -frames:v 1", "still.jpg")});

  // Odd but sound streams.
  FixtureSpec one_frame;
  one_frame.frames = 1;
  cases_.push_back({"one-frame-mkv", Fixture(one_frame)});
  one_frame.container = "mp4";
  one_frame.codec = "libx264";
  cases_.push_back({"one-frame-mp4", Fixture(one_frame)});
  // Two transport streams one after the other: the timestamps jump back where the second
  // begins, as in a recording that was cut and joined.
  FixtureSpec late;
  late.container = "ts";
  late.codec = "mpeg2video";
  late.start_offset = 20.0;
  late.frames = 15;
  FixtureSpec early = late;
  early.start_offset = 0.0;
  early.fill = 0xB07030;
  cases_.push_back(
      {"ts-timestamps-jump-back",
       Write("joined.ts", ReadFileBytes(Fixture(late)) + ReadFileBytes(Fixture(early)))});
  // A frame size no memory holds, and far too few bytes for even one frame of it.
  const std::string y4m =
      "YUV4MPEG2 W60000 H60000 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(4096, '\x80');
  cases_.push_back({"y4m-huge", Write("huge.y4m", y4m), Expect::kDiagnostic});
  cases_.push_back({"y4m-huge-default-cells", work_.File("huge.y4m"), Expect::kDiagnostic, true});

  // A demuxer that adds a stream while the keyframe index is read.
  const std::string flv = Ffmpeg(
      "-f lavfi -i color=red:s=16x16:r=25:d=10 -itsoffset 8 -f lavfi -i anullsrc=r=11025:cl=mono "
      "-t 10 -c:v flv1 -g 1000 -c:a adpcm_swf -flvflags add_keyframe_index",
      "late-audio.flv");
  const std::string late_stream = StreamAppearingWhileReading(ReadFileBytes(flv));
  ASSERT_FALSE(late_stream.empty());
  cases_.push_back(
      {"flv-stream-appears", Write("stream-appears.flv", late_stream), Expect::kSheet});
  // Fatal to the decoder, but no business of the console: one diagnostic line only.
  const std::string mjpeg =
      Ffmpeg("-f lavfi -i testsrc=s=64x48:r=10:d=2 -c:v mjpeg -pix_fmt yuvj420p", "markers.avi");
  const std::string no_markers = WithoutJpegMarkers(ReadFileBytes(mjpeg));
  ASSERT_FALSE(no_markers.empty());
  cases_.push_back({"mjpeg-without-markers", Write("no-markers.avi", no_markers)});
  // Tables of a few bytes that claim 20,000,000 samples a track, which the demuxer would index
  // for every track as it opens the file: gigabytes for a file of kilobytes. In the sample
  // tables of 1, 2, 4 and 8 tracks, in a compressed movie header, and in movie fragments.
  struct Claim {
    const char* name;
    int tracks;
    const char* muxing;
    bool compressed_header;
  };
  for (const Claim& claim :
       {Claim{"claims-1x20M.mp4", 1, "-use_editlist 0", false},
        Claim{"claims-2x20M.mp4", 2, "-use_editlist 0", false},
        Claim{"claims-4x20M.mp4", 4, "-use_editlist 0", false},
        Claim{"claims-8x20M.mp4", 8, "-use_editlist 0", false},
        Claim{"claims-20M-compressed.mov", 1, "-use_editlist 0", true},
        Claim{"claims-2x20M-fragments.mp4", 2, "-movflags frag_keyframe+empty_moov", false}}) {
    std::string maps;
    for (int i = 0; i < claim.tracks; ++i) maps += " -map 0:v";
    const std::string mp4 = Ffmpeg("-f lavfi -i color=red:s=64x48:r=25 -frames:v 1" + maps +
                                       " -c:v libx264 -f mp4 " + claim.muxing,
                                   std::string("one-frame-") + claim.name);
    std::string claiming = ClaimingSamples(ReadFileBytes(mp4), 20'000'000);
    if (claim.compressed_header) claiming = WithCompressedHeader(claiming);
    ASSERT_FALSE(claiming.empty()) << claim.name;
    cases_.push_back(
        {claim.name, Write(claim.name, claiming), Expect::kDiagnostic, false,
         "the index claims " + std::to_string(claim.tracks * 20'000'000) + " samples"});
  }
  // Uncompressed sound, a sample to every tick of 192 kHz: 8.6 million samples in the sample
  // tables, which the demuxer indexes by chunk, a few thousand entries.
  cases_.push_back(
      {"mov-pcm-8.6M-samples",
       Ffmpeg("-f lavfi -i color=red:s=64x48:r=5:d=45 -f lavfi -i sine=r=192000:d=45 -c:v mpeg4 "
              "-c:a pcm_u8",
              "pcm.mov"),
       Expect::kSheet});
  // A seek the damaged index cannot lead to names that, not a system error.
  const std::string interleaved = Ffmpeg(
      "-f lavfi -i testsrc=s=64x48:r=25:d=8 -f lavfi -i sine=d=8 -c:v libx264 -preset "
      "veryfast -g 25 -c:a aac -movflags faststart",
      "interleaved.mp4");
  const std::string unknown_description = WithUnknownSampleDescription(ReadFileBytes(interleaved));
  ASSERT_FALSE(unknown_description.empty());
  cases_.push_back({"mp4-unknown-sample-description",
                    Write("unknown-description.mp4", unknown_description), Expect::kDiagnostic,
                    false, "seek failed: Invalid data"});

  // Playlists of other files, under names that do not say so: vgrid reads the one file it
  // is given, never what a file names. A FIFO listed would block an open for ever.
  const std::string listed_fifo = work_.File("listed-fifo");
  ASSERT_EQ(mkfifo(listed_fifo.c_str(), 0644), 0);
  const std::string listed_movie = Fixture(FixtureSpec{});
  cases_.push_back({"concat-of-a-movie",
                    Write("concat.mp4", "ffconcat version 1.0\nfile '" + listed_movie + "'\n"),
                    Expect::kDiagnostic});
  std::filesystem::copy_file(listed_movie, work_.File("listed.mkv"));
  cases_.push_back({"concat-relative",
                    Write("concat-relative.avi", "ffconcat version 1.0\nfile listed.mkv\n"),
                    Expect::kDiagnostic});
  cases_.push_back({"concat-of-a-fifo",
                    Write("concat-fifo.mkv", "ffconcat version 1.0\nfile listed-fifo\n"),
                    Expect::kDiagnostic});
  const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:2,\n";
  cases_.push_back({"hls-of-a-movie", Write("hls.mp4", hls + listed_movie + "\n#EXT-X-ENDLIST\n"),
                    Expect::kDiagnostic});
  cases_.push_back({"hls-of-a-fifo", Write("hls-fifo.ts", hls + listed_fifo + "\n#EXT-X-ENDLIST\n"),
                    Expect::kDiagnostic});

  // Sources that are no regular file. The FIFO has no writer: opening it would block.
  const std::string dir = work_.File("a-directory.mp4");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  cases_.push_back({"directory", dir, Expect::kDiagnostic});
  const std::string fifo = work_.File("fifo.mp4");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  cases_.push_back({"fifo-without-writer", fifo, Expect::kDiagnostic});
  cases_.push_back({"dev-zero", "/dev/zero", Expect::kDiagnostic});
  cases_.push_back({"dev-zero-default-cells", "/dev/zero", Expect::kDiagnostic, true});

  // Run them all, a few at a time: the runs are short and mostly wait on the disk.
  std::vector<CaseResult> results(cases_.size());
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i; (i = next++) < cases_.size();) {
      CaseResult& r = results[i];
      r.out_dir = work_.File("out-" + std::to_string(i));
      std::filesystem::create_directory(r.out_dir);
      r.dst = r.out_dir + "/sheet.png";
      std::vector<std::string> args;
      if (!cases_[i].default_options) {
        args = {"-c=" + std::to_string(kCols), "-r=" + std::to_string(kRows),
                "-w=" + std::to_string(kCellW), "-h=" + std::to_string(kCellH)};
      }
      args.insert(args.end(), {"-f:png", cases_[i].src, r.dst});
      r.run = RunVgrid(args, kBounds);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();

  int sheets = 0, diagnostics = 0;
  for (std::size_t i = 0; i < cases_.size(); ++i) {
    const HostileCase& c = cases_[i];
    const CaseResult& r = results[i];
    SCOPED_TRACE("case " + c.name + " (" + c.src + ")\nstdout: " + r.run.out +
                 "\nstderr: " + r.run.err);
    ASSERT_EQ(r.run.start_error, "");
    EXPECT_FALSE(r.run.timed_out) << "no outcome within " << kTimeoutSeconds << " s";
    EXPECT_EQ(r.run.term_signal, 0);
    if (r.run.exit_code == 0) {
      ++sheets;
      EXPECT_NE(c.expect, Expect::kDiagnostic) << "a sheet from a file that holds no movie";
      const DecodedImage sheet = ReadImageFile(r.dst);
      EXPECT_TRUE(sheet.ok()) << sheet.error;
      EXPECT_EQ(sheet.format, "png");
      EXPECT_EQ(r.run.err, "") << "a sheet with something said on the console";
      if (!c.default_options) {
        EXPECT_EQ(sheet.width, kCols * kCellW);
        EXPECT_EQ(sheet.height, kRows * kCellH);
      }
      EXPECT_NE(r.run.out.find("\r\ncomplete\n"), std::string::npos);
      EXPECT_NE(r.run.out.find('O'), std::string::npos) << "a sheet without one drawn cell";
      EXPECT_EQ(DirectoryEntries(r.out_dir), std::vector<std::string>{"sheet.png"});
    } else if (r.run.exit_code == 1) {
      ++diagnostics;
      EXPECT_NE(c.expect, Expect::kSheet) << "an intact movie gave no sheet";
      // One line: text, a line feed at the very end and nowhere else.
      ASSERT_FALSE(r.run.err.empty());
      EXPECT_EQ(r.run.err.find('\n'), r.run.err.size() - 1);
      EXPECT_GT(r.run.err.size(), 1u);
      EXPECT_NE(r.run.err.find(c.says), std::string::npos);
      // Nothing written, not even a temporary file.
      EXPECT_EQ(DirectoryEntries(r.out_dir), std::vector<std::string>{});
    } else {
      ADD_FAILURE() << "exit code " << r.run.exit_code;
    }
  }
  std::cout << cases_.size() << " hostile sources: " << sheets << " sheets, " << diagnostics
            << " clean failures\n";
}

// A movie of hundreds of video tracks opens at the cost of the one it is grabbed from:
// the keyframe index is read for the chosen stream only, not for every track (which read
// the file again for each of them).
TEST_F(HostileMoviesTest, ManyTracksOpenAtTheCostOfOne) {
  std::string maps;
  for (int i = 0; i < 300; ++i) maps += " -map 0:v";
  const std::string movie =
      Ffmpeg("-f lavfi -i 'nullsrc=s=32x32:r=5:d=4,geq=random(1)*255:128:128'" + maps +
                 " -c:v mpeg4 -q:v 2 -g 100",
             "tracks.mp4");
  struct stat info;
  ASSERT_EQ(stat(movie.c_str(), &info), 0);
  FfmpegMediaDet det;
  MultibyteToWide name(movie.c_str());
  ASSERT_EQ(det.put_Filename(name.get()), S_OK) << det.LastErrorText();
  std::int32_t streams = 0;
  ASSERT_EQ(det.get_OutputStreams(&streams), S_OK);
  EXPECT_EQ(streams, 300);
  ASSERT_EQ(det.put_CurrentStream(0), S_OK);
  EXPECT_LT(det.BytesRead(), 2 * info.st_size)
      << det.BytesRead() << " bytes read to open a file of " << info.st_size;
}

// A stream that proves unreadable is read once, not once more for every cell: on a grid of
// 50 x 50 cells each grab read the whole file again to fail the same way.
TEST_F(HostileMoviesTest, AnUnreadableStreamIsReadOnceNotOncePerCell) {
  const std::string mjpeg =
      Ffmpeg("-f lavfi -i testsrc=s=64x48:r=10:d=2 -c:v mjpeg -pix_fmt yuvj420p", "markers.avi");
  const std::string movie = Write("no-markers.avi", WithoutJpegMarkers(ReadFileBytes(mjpeg)));
  FfmpegMediaDet det;
  MultibyteToWide name(movie.c_str());
  ASSERT_EQ(det.put_Filename(name.get()), S_OK) << det.LastErrorText();
  ASSERT_EQ(det.put_CurrentStream(0), S_OK);
  std::vector<char> record(FfmpegMediaDet::FrameRecordSize(8, 8));
  const HRESULT first = det.GetBitmapBitsNear(0.5, 0.1, record.data(), 8, 8);
  ASSERT_TRUE(Failed(first));
  const std::string cause = det.LastErrorText();
  const std::int64_t read = det.BytesRead();
  for (double t : {0.7, 1.0, 1.5}) {
    EXPECT_EQ(det.GetBitmapBitsNear(t, 0.1, record.data(), 8, 8), first) << t;
    EXPECT_EQ(det.LastErrorText(), cause);
  }
  EXPECT_EQ(det.BytesRead(), read) << "the failing grab was tried again";
}

// A pixel shape no player would honour, beyond 16:1 either way, is taken for square: a
// header cannot stretch a 16-pixel-wide frame to thousands of pixels of sheet.
TEST_F(HostileMoviesTest, APixelShapeNoPlayerHonoursIsTakenForSquare) {
  const struct {
    const char* sar;
    int display_width;
  } cases[] = {{"16/1", 256}, {"17/1", 16}, {"3750/1", 16}, {"1/16", 1}, {"1/17", 16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sar);
    const std::string movie = Ffmpeg(std::string("-f lavfi -i color=red:s=16x64:r=5:d=1 ") +
                                         "-vf setsar=" + c.sar + " -c:v ffv1",
                                     std::string("sar-") + std::to_string(&c - cases) + ".mkv");
    FrameSource source;
    ASSERT_EQ(source.Open(movie), S_OK);
    ASSERT_EQ(source.SelectFirstVideoStream(), S_OK);
    ASSERT_EQ(source.ReadFrameSize(), S_OK);
    EXPECT_EQ(source.width(), c.display_width);
    EXPECT_EQ(source.height(), 64);
  }
}

// Running out of memory ends the run with the catch-all line naming that cause, whatever a
// call long before left in errno, wherever it happens: as the stream is chosen (the keyframe
// list of its index), in the middle of the sheet, or as a second worker opens the movie for
// itself beside the first.
TEST_F(HostileMoviesTest, TheCatchAllLineNamesWhatHappened) {
  enum class Where { kChoosingTheStream, kReadingTheLength, kHelperOpening };
  class OutOfMemoryAt : public FakeMediaDet {
   public:
    OutOfMemoryAt(Where where, bool helper, FakeMovie movie, FakeLog* log)
        : FakeMediaDet(std::move(movie), log), where_(where), helper_(helper) {}
    HRESULT put_CurrentStream(std::int32_t index) override {
      if (where_ == Where::kChoosingTheStream) throw std::bad_alloc();
      return FakeMediaDet::put_CurrentStream(index);
    }
    HRESULT get_StreamLength(double* seconds) override {
      if (where_ == Where::kReadingTheLength) throw std::bad_alloc();
      return FakeMediaDet::get_StreamLength(seconds);
    }
    HRESULT put_Filename(const char16_t* path) override {
      if (where_ == Where::kHelperOpening && helper_) throw std::bad_alloc();
      return FakeMediaDet::put_Filename(path);
    }

   private:
    const Where where_;
    const bool helper_;
  };
  for (const Where where :
       {Where::kChoosingTheStream, Where::kReadingTheLength, Where::kHelperOpening}) {
    SCOPED_TRACE(static_cast<int>(where));
    FakeLog log;
    FakeMovie movie;
    movie.grab_seconds = 0.05;  // the first worker is still grabbing when the helper fails
    int made = 0;
    const MediaDetFactory factory = [&](MediaDetPtr* out) {
      *out = std::make_unique<OutOfMemoryAt>(where, made++ > 0, movie, &log);
      return S_OK;
    };
    RunSettings settings;
    settings.cols = settings.rows = 5;
    settings.width = settings.height = 16;
    settings.format = "image/png";
    settings.src = "movie.avi";
    settings.dst = work_.File("sheet.png");
    bool written = true;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    errno = ENOENT;  // as a failed probe for a file long before leaves it
    SheetGenerator(settings, &written, factory, 2);
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(written);
    EXPECT_TRUE(IsOneLine(err)) << err;
    EXPECT_NE(err.find(std::strerror(ENOMEM)), std::string::npos) << err;
    EXPECT_EQ(err.find(std::strerror(ENOENT)), std::string::npos) << err;
    EXPECT_EQ(DirectoryEntries(work_.path()).size(), 0u);
  }
}

// Cells whose frames do not fit in memory say so, with the line of a sheet that cannot be
// made, whether it shows as the first frame is set aside or as a grab runs out; memory that
// runs out while small cells are grabbed is no fault of theirs, and the catch-all says that.
TEST_F(HostileMoviesTest, CellsTooLargeForMemorySaySo) {
  const std::string kNoImage = ConsoleText("出力画像を作成できません");
  if (!RunningUnderAddressSanitizer()) {
    // 397 MB of canvas, the largest PNG sheet, leave no room for a frame of 298 MB in 800 MiB;
    // in 1 GiB, the bound every sheet a format accepts keeps to, the same sheet is written.
    const std::string dst = work_.File("huge.png");
    const std::vector<std::string> args = {
        "-c=1", "-r=1", "-w=11500", "-h=8625", "-f:png", Fixture(FixtureSpec{}), dst};
    RunResult r = RunVgrid(args, {kTimeoutSeconds, std::int64_t{800} << 20});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_TRUE(IsOneLine(r.err)) << r.err;
    EXPECT_NE(r.err.find(kNoImage + ": cells of 11500x8625 too large for memory"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(PathEntryExists(dst));
    r = RunVgrid(args, kBounds);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(PathEntryExists(dst));
  }
  class OutOfMemoryInGrab : public FakeMediaDet {
   public:
    using FakeMediaDet::FakeMediaDet;
    HRESULT GetBitmapBits(double seconds, std::int32_t* size, char* buffer, std::int32_t width,
                          std::int32_t height) override {
      if (buffer != nullptr) throw std::bad_alloc();
      return FakeMediaDet::GetBitmapBits(seconds, size, buffer, width, height);
    }
  };
  const struct {
    std::int32_t cell;
    std::string line;
  } cases[] = {{2400, kNoImage + ": cells of 2400x2400 too large for memory\n"},
               {16, ConsoleText("なんかしらエラーが発生してしまいました。") + ": " +
                        std::strerror(ENOMEM) + "\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cell);
    FakeLog log;
    FakeMovie movie;
    movie.width = movie.height = 480;
    const MediaDetFactory factory = [&](MediaDetPtr* out) {
      *out = std::make_unique<OutOfMemoryInGrab>(movie, &log);
      return S_OK;
    };
    RunSettings settings;
    settings.cols = settings.rows = 2;
    settings.width = settings.height = c.cell;
    settings.format = "image/png";
    settings.src = "movie.avi";
    settings.dst = work_.File("sheet.png");
    bool written = true;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    SheetGenerator(settings, &written, factory, 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "movie.avi: " + c.line);
    EXPECT_FALSE(written);
  }
}

// A size read from a header is no reason to take that much memory: an AVI whose INFO tag
// claims 1 GB in a file of a few KB once made the reader allocate (and clear) all of it.
TEST_F(HostileMoviesTest, ASizeClaimedByAHeaderIsNotAllocated) {
  FixtureSpec spec;
  spec.container = "avi";
  spec.codec = "mpeg4";
  std::string avi = ReadFileBytes(Fixture(spec));
  const std::size_t hdrl = avi.find("hdrl");
  ASSERT_NE(hdrl, std::string::npos);
  ASSERT_GE(hdrl, 8u);
  const std::uint32_t size =
      static_cast<unsigned char>(avi[hdrl - 4]) | static_cast<unsigned char>(avi[hdrl - 3]) << 8 |
      static_cast<unsigned char>(avi[hdrl - 2]) << 16 |
      static_cast<std::uint32_t>(static_cast<unsigned char>(avi[hdrl - 1])) << 24;
  auto le32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  // After the header list: an INFO list whose one tag claims 1 GB.
  const std::string info =
      "LIST" + le32(0x40000100) + "INFO" + "ISFT" + le32(0x40000000) + std::string(64, 'x');
  avi.insert(hdrl - 4 + 4 + size + (size & 1), info);
  const std::string movie = Write("claims-1gb.avi", avi);

  std::string binary = VgridBinaryPath(), dst = work_.File("claims-1gb.png");
  std::vector<std::string> args = {binary, "-c=3", "-r=2", movie, dst};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage = {};
  ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_LT(usage.ru_maxrss, 512 * 1024) << "KB at the peak";
}

}  // namespace
