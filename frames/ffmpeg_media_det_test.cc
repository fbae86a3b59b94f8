// SPDX-License-Identifier: GPL-3.0-or-later
// The FFmpeg detector on fixture movies of every codec: each grab the frame a player shows,
// the streams and their types, the record's layout, colours, HDR and interlaced pictures.
#include "frames/ffmpeg_media_det.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frames/av1_obu.h"
#include "platform/imaging.h"
#include "testutil/detector_grabs.h"
#include "testutil/fixture_movies.h"
#include "testutil/temp_dir.h"

namespace {

// Runs the ffmpeg command-line tool with `args`; true when it succeeds.
bool RunFfmpeg(const std::string& args) {
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " </dev/null";
  return std::system(command.c_str()) == 0;
}

// Mean difference (0..255) over all channels between a grab and top-down RGB24 rows of the
// same size, or of twice the size (averaged 2 x 2 then).
double MeanError(const GrabbedFrame& f, const std::string& rgb) {
  const size_t pixels = static_cast<size_t>(f.width) * f.height;
  const int scale = rgb.size() == pixels * 3 ? 1 : rgb.size() == pixels * 12 ? 2 : 0;
  if (scale == 0) return 255;
  double sum = 0;
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x)
      for (int c = 0; c < 3; ++c) {
        double want = 0;
        for (int dy = 0; dy < scale; ++dy)
          for (int dx = 0; dx < scale; ++dx)
            want += static_cast<std::uint8_t>(
                rgb[((y * scale + dy) * f.width * scale + x * scale + dx) * 3 + c]);
        const int got = f.rows()[(f.height - 1 - y) * f.stride() + x * 3 + (2 - c)];
        sum += std::abs(got - want / (scale * scale));
      }
  return sum / (3.0 * pixels);
}

// How far, on average over every channel, a row of `height` rows of `width` 24-bit pixels
// (`stride` bytes apart) differs from the mean of the rows above and below it: large where
// two fields are woven together in a moving picture.
double LineStructure(const std::uint8_t* rows, int stride, int width, int height) {
  double sum = 0;
  for (int y = 1; y + 1 < height; ++y)
    for (int x = 0; x < width * 3; ++x) {
      const std::uint8_t* p = rows + static_cast<size_t>(y) * stride + x;
      sum += std::abs(2 * p[0] - p[-stride] - p[stride]);
    }
  return sum / (static_cast<double>(height - 2) * width * 3);
}

struct CodecCase {
  const char* name;
  FixtureSpec spec;
};

std::vector<CodecCase> CodecCases() {
  std::vector<CodecCase> cases;
  FixtureSpec h264;
  h264.container = "mp4";
  h264.codec = "libx264";
  h264.codec_args = {"-preset", "veryfast", "-crf", "20"};
  h264.b_frames = 3;
  h264.keyframe_interval = 12;
  h264.frames = 30;
  h264.audio_first = true;
  cases.push_back({"h264-mp4", h264});
  FixtureSpec mpeg4;
  mpeg4.container = "avi";
  mpeg4.codec = "mpeg4";
  mpeg4.codec_args = {"-q:v", "3"};
  mpeg4.keyframe_interval = 8;
  mpeg4.b_frames = 1;
  mpeg4.frames = 25;
  cases.push_back({"mpeg4-avi", mpeg4});
  FixtureSpec mjpeg = mpeg4;
  mjpeg.codec = "mjpeg";
  mjpeg.pix_fmt = "yuvj420p";
  mjpeg.b_frames = -1;
  cases.push_back({"mjpeg-avi", mjpeg});
  FixtureSpec vp9;
  vp9.container = "webm";
  vp9.codec = "libvpx-vp9";
  vp9.codec_args = {"-deadline", "realtime", "-cpu-used", "8", "-crf", "20", "-b:v", "0"};
  vp9.keyframe_interval = 10;
  vp9.frames = 24;
  cases.push_back({"vp9-webm", vp9});
  FixtureSpec mpeg2;
  mpeg2.container = "ts";
  mpeg2.codec = "mpeg2video";
  mpeg2.codec_args = {"-q:v", "3"};
  mpeg2.keyframe_interval = 9;
  mpeg2.b_frames = 2;
  mpeg2.frames = 30;
  mpeg2.start_offset = 10.0;
  mpeg2.audio_first = true;
  cases.push_back({"mpeg2-ts", mpeg2});
  FixtureSpec ffv1;
  ffv1.frames = 20;
  ffv1.keyframe_interval = 6;
  cases.push_back({"ffv1-mkv", ffv1});
  // Palettes the container gives once, in the stream's header or with its first packet.
  FixtureSpec smc;
  smc.container = "mov";
  smc.codec = "smc";
  smc.pix_fmt = "pal8";
  smc.keyframe_interval = 7;
  cases.push_back({"smc-mov", smc});
  FixtureSpec raw8 = smc;
  raw8.container = "avi";
  raw8.codec = "rawvideo";
  cases.push_back({"pal8-avi", raw8});
  return cases;
}

TEST(FfmpegMediaDetTest, GrabsTheFrameAPlayerShowsAtEachTime) {
  // Times on and between frame boundaries, before the start and past the end, in order,
  // backwards, at random and repeated.
  const std::vector<double> times = {0.0,  0.05, 0.1, 0.95, 1.0, 1.55, 2.3,  -1.0, 100.0,
                                     1.2,  0.3,  0.3, 2.35, 0.0, 1.85, 1.9,  0.75, 0.79,
                                     0.81, 2.05, 2.5, 0.45, 1e9, -1e9, 1.65, 1.65, 0.2};
  for (const CodecCase& c : CodecCases()) {
    SCOPED_TRACE(c.name);
    const std::string path = MakeMovie(c.spec);
    if (path.empty()) continue;
    auto det = OpenVideo(path);
    ExpectVideoSize(det.get(), c.spec.width, c.spec.height);
    double length = 0;
    ASSERT_EQ(det->get_StreamLength(&length), S_OK);
    EXPECT_NEAR(length, static_cast<double>(c.spec.frames) / c.spec.fps, 0.11);
    // The first and last frames exactly.
    EXPECT_EQ(GrabFrame(det.get(), 0.0, 160, 120).Number(), 0);
    EXPECT_EQ(GrabFrame(det.get(), length - 0.01, 160, 120).Number(), c.spec.frames - 1);
    for (double t : times) {
      const GrabbedFrame f = GrabFrame(det.get(), t, 160, 120);
      ASSERT_EQ(f.hr, S_OK) << "t=" << t << " " << det->LastErrorText();
      EXPECT_EQ(f.Number(), FrameShownAt(t, c.spec.fps, c.spec.frames)) << "t=" << t;
    }
    // A grab at another size scales the whole frame.
    EXPECT_EQ(GrabFrame(det.get(), 1.25, 64, 30).Number(), 12);
  }
}

TEST(FfmpegMediaDetTest, ReportsEveryStreamWithItsType) {
  FixtureSpec spec = CodecCases()[0].spec;  // audio, then video
  auto det = std::make_unique<FfmpegMediaDet>();
  ASSERT_EQ(det->put_Filename(Widen(MakeMovie(spec)).c_str()), S_OK);
  std::int32_t streams = 0;
  ASSERT_EQ(det->get_OutputStreams(&streams), S_OK);
  ASSERT_EQ(streams, 2);
  GUID type;
  ASSERT_EQ(det->put_CurrentStream(0), S_OK);
  ASSERT_EQ(det->get_StreamType(&type), S_OK);
  EXPECT_EQ(type, MEDIATYPE_Audio);
  AM_MEDIA_TYPE mt;
  ASSERT_EQ(det->get_StreamMediaType(&mt), S_OK);
  EXPECT_EQ(mt.formattype, GUID_NULL);
  EXPECT_EQ(mt.cbFormat, 0u);
  EXPECT_EQ(mt.pbFormat, nullptr);
  double length = 0;
  EXPECT_EQ(det->get_StreamLength(&length), S_OK);
  EXPECT_NEAR(length, 3.0, 0.2);
  // A grab needs a video stream.
  std::vector<char> buffer(40 + 480 * 120);
  EXPECT_TRUE(Failed(det->GetBitmapBits(1.0, nullptr, buffer.data(), 160, 120)));
  ASSERT_EQ(det->put_CurrentStream(1), S_OK);
  ASSERT_EQ(det->get_StreamType(&type), S_OK);
  EXPECT_EQ(type, MEDIATYPE_Video);
  EXPECT_EQ(det->put_CurrentStream(2), E_INVALIDARG);
  EXPECT_EQ(det->put_CurrentStream(-1), E_INVALIDARG);
}

TEST(FfmpegMediaDetTest, FrameRecordLayoutOnAnOddWidth) {
  FixtureSpec spec;  // lossless RGB: the pixels come back exactly
  spec.width = 33;
  spec.height = 17;
  spec.frames = 5;
  auto det = OpenVideo(MakeMovie(spec));
  ExpectVideoSize(det.get(), 33, 17);
  std::int32_t size = 0;
  ASSERT_EQ(det->GetBitmapBits(0.0, &size, nullptr, 33, 17), S_OK);
  EXPECT_EQ(size, 40 + 100 * 17);  // 99 bytes of pixels and one of padding per row
  const GrabbedFrame f = GrabFrame(det.get(), 0.3, 33, 17);
  ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
  BITMAPINFOHEADER h;
  std::memcpy(&h, f.record.data(), 40);
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 33);
  EXPECT_EQ(h.biHeight, 17);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, BI_RGB);
  EXPECT_EQ(h.biSizeImage, 100u * 17);
  const std::vector<std::uint8_t> shown = DrawFixtureFrame(3, 33, 17, false, spec.fill);
  for (int y = 0; y < 17; ++y) {
    const std::uint8_t* row = f.rows() + (16 - y) * 100;  // bottom-up
    for (int x = 0; x < 33; ++x) {
      const std::uint8_t* want = &shown[(y * 33 + x) * 3];
      ASSERT_EQ(row[x * 3 + 0], want[2]) << x << "," << y;
      ASSERT_EQ(row[x * 3 + 1], want[1]) << x << "," << y;
      ASSERT_EQ(row[x * 3 + 2], want[0]) << x << "," << y;
    }
    EXPECT_EQ(row[99], 0) << "padding of row " << y;
  }
}

TEST(FfmpegMediaDetTest, ACropOnTheLeftIsTakenToThePixel) {
  // H.264 whose stream header crops 8 pixels off the left, fewer than keep the picture's
  // rows aligned: the picture is the cropped one, at its full size.
  TempDir dir;
  const std::string movie = dir.File("cropped.mp4");
  const std::string reference = dir.File("cropped.rgb");
  const std::string picture = "testsrc2=size=336x240:rate=25";
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i " + picture + " -t 0.2 -c:v libx264 -crf 8 " +
                        "-bsf:v h264_metadata=crop_left=8 '" + movie + "'"));
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i " + picture + " -vf crop=328:240:8:0 -frames:v 1 " +
                        "-pix_fmt rgb24 -f rawvideo '" + reference + "'"));
  auto det = OpenVideo(movie);
  ExpectVideoSize(det.get(), 328, 240);
  const GrabbedFrame f = GrabFrame(det.get(), 0.0, 328, 240);
  ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
  EXPECT_LT(MeanError(f, ReadFileBytes(reference)), 3.0);
}

TEST(FfmpegMediaDetTest, ColoursFollowTheStreamsMatrixAndRange) {
  struct Variant {
    const char* matrix;
    bool full_range;
    const char* pix_fmt;
  };
  for (const Variant& v :
       {Variant{"bt601", false, "yuv444p"}, Variant{"bt709", false, "yuv444p"},
        Variant{"bt709", true, "yuv444p"}, Variant{"bt2020", false, "yuv444p10le"},
        Variant{"", false, "yuv444p"}}) {
    SCOPED_TRACE(std::string(v.matrix) + (v.full_range ? " full" : " limited") + " " + v.pix_fmt);
    FixtureSpec spec;
    spec.frames = 3;
    spec.colour_bars = true;
    spec.colour_matrix = v.matrix;
    spec.full_range = v.full_range;
    spec.pix_fmt = v.pix_fmt;
    auto det = OpenVideo(MakeMovie(spec));
    const GrabbedFrame f = GrabFrame(det.get(), 0.1, 160, 120);
    ASSERT_EQ(f.hr, S_OK);
    EXPECT_EQ(f.Number(), 1);
    for (int bar = 0; bar < kColourBars; ++bar) {
      const std::uint32_t got = f.Mean(bar * 160 / kColourBars, 60, 160 / kColourBars, 60);
      const std::uint32_t want = ColourBar(bar);
      for (int shift : {0, 8, 16}) {
        const int g = (got >> shift) & 0xFF, w = (want >> shift) & 0xFF;
        EXPECT_NEAR(g, w, 4) << "bar " << bar << std::hex << " got " << got << " want " << want;
      }
    }
  }
}

TEST(FfmpegMediaDetTest, FrameNumberReadsBackFromASheetCell) {
  FixtureSpec spec;
  spec.container = "mp4";
  spec.codec = "libx264";
  spec.frames = 12;
  auto det = OpenVideo(MakeMovie(spec));
  const GrabbedFrame f = GrabFrame(det.get(), 0.9, 40, 30);
  ASSERT_EQ(f.hr, S_OK);
  EXPECT_EQ(f.Number(), 9);
  // Into a 100 x 80 top-down BGRA canvas at (50, 37), with the sheet's contrast stretch.
  const int stride = 100 * 4;
  std::vector<std::uint8_t> canvas(stride * 80, 0x80);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x)
      for (int c = 0; c < 3; ++c) {
        const double v = f.rows()[(29 - y) * f.stride() + x * 3 + c] * 1.15 - 0.075 * 255;
        canvas[(37 + y) * stride + (50 + x) * 4 + c] =
            static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
      }
  EXPECT_EQ(ReadFrameNumberRgba(canvas.data(), stride, 50, 37, 40, 30), 9);
  // A rectangle that misses the frame holds no number.
  EXPECT_EQ(ReadFrameNumberRgba(canvas.data(), stride, 0, 0, 40, 30), -1);
}

TEST(FfmpegMediaDetTest, SizeQueryAndBadArguments) {
  FfmpegMediaDet det;
  std::int32_t size = 0;
  EXPECT_EQ(det.GetBitmapBits(0.0, &size, nullptr, 1, 1), S_OK);
  EXPECT_EQ(size, 44);
  EXPECT_EQ(det.GetBitmapBits(0.0, &size, nullptr, 640, 480), S_OK);
  EXPECT_EQ(size, 40 + 640 * 480 * 3);
  EXPECT_EQ(det.GetBitmapBits(0.0, &size, nullptr, 0, 480), E_INVALIDARG);
  EXPECT_EQ(det.GetBitmapBits(0.0, &size, nullptr, 100000, 100000), E_INVALIDARG);
  char buffer[64];
  EXPECT_TRUE(Failed(det.GetBitmapBits(0.0, nullptr, buffer, 4, 4)));  // nothing open
}

TEST(FfmpegMediaDetTest, ProgramStreamStartsAtItsFirstFrame) {
  // A DVD-style MPEG program stream whose timestamps start late: time 0 is its first frame,
  // not the first frame of the GOP a seek to the start lands on.
  FixtureSpec spec;
  spec.container = "vob";
  spec.codec = "mpeg2video";
  spec.codec_args = {"-q:v", "2"};
  spec.width = 352;  // big enough that a keyframe spans several packs
  spec.height = 288;
  spec.fps = 25;
  spec.frames = 100;
  spec.keyframe_interval = 15;
  spec.b_frames = 2;
  spec.start_offset = 0.5;
  spec.audio_first = true;
  auto det = OpenVideo(MakeMovie(spec));
  double length = 0;
  ASSERT_EQ(det->get_StreamLength(&length), S_OK);
  EXPECT_NEAR(length, 4.0, 0.2);
  for (double t : {0.0, 2.25, 0.0, 1.05, 3.9, 0.35}) {
    const GrabbedFrame f = GrabFrame(det.get(), t, 160, 120);
    ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
    EXPECT_EQ(f.Number(), FrameShownAt(t, 25, 100)) << "t=" << t;
  }
}

TEST(FfmpegMediaDetTest, HdrAndWideGamutPicturesShowAsOnAnSdrScreen) {
  // Colour bars made into HDR (PQ with a 4000 cd/m2 content light level, stated in the
  // bitstream or by the container alone, and HLG without any metadata) and into wide-gamut
  // SDR (with the BT.2020 or the sRGB curve); each grab is held against the picture ffmpeg's own
  // tone mapping (Hable, from the stated peak) or gamut conversion gives.
  struct Case {
    const char* name;
    const char* to;       // zscale output of the bars
    const char* tags;     // what the stream says it is
    const char* encoder;  // and how it is stored
    const char* reference;
  };
  const std::string tone_map =
      "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=709,tonemap=tonemap=hable:desat=0,"
      "zscale=t=709:m=709:r=tv,format=rgb24";
  const std::string pq_encoder =
      "-c:v libx265 -x265-params 'master-display=G(13250,34500)B(7500,3000)R(34000,16000)"
      "WP(15635,16450)L(40000000,50):max-cll=4000,400:log-level=none'";
  // The bitstream's colour description says unspecified; the container's says PQ.
  const std::string pq_container_encoder =
      pq_encoder +
      " -bsf:v hevc_metadata=colour_primaries=2:transfer_characteristics=2:"
      "matrix_coefficients=2";
  const std::string pq_container_tone_map =
      "zscale=tin=smpte2084:pin=2020:min=2020_ncl:rin=limited:p=2020:" + tone_map.substr(7);
  const Case cases[] = {
      {"pq", "t=smpte2084:p=2020:m=2020_ncl:npl=1000",
       "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc", pq_encoder.c_str(),
       tone_map.c_str()},
      {"pq-container", "t=smpte2084:p=2020:m=2020_ncl:npl=1000",
       "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc",
       pq_container_encoder.c_str(), pq_container_tone_map.c_str()},
      {"hlg", "t=arib-std-b67:p=2020:m=2020_ncl:npl=1000",
       "-color_primaries bt2020 -color_trc arib-std-b67 -colorspace bt2020nc", "-c:v ffv1",
       tone_map.c_str()},
      {"sdr-bt2020", "t=2020_10:p=2020:m=2020_ncl",
       "-color_primaries bt2020 -color_trc bt2020-10 -colorspace bt2020nc", "-c:v ffv1",
       "zscale=p=709:t=709,format=gbrp,format=rgb24"},
      {"sdr-bt2020-srgb", "t=iec61966-2-1:p=2020:m=2020_ncl",
       "-color_primaries bt2020 -color_trc iec61966-2-1 -colorspace bt2020nc", "-c:v ffv1",
       "zscale=p=709:t=iec61966-2-1,format=gbrp,format=rgb24"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string movie = dir.File(std::string(c.name) + ".mkv");
    const std::string reference = dir.File(std::string(c.name) + ".rgb");
    ASSERT_TRUE(RunFfmpeg(std::string("-f lavfi -i smptehdbars=size=320x180:rate=10 -t 0.3 -vf "
                                      "zscale=tin=709:pin=709:min=709:rin=limited:r=limited:") +
                          c.to + ",format=yuv420p10le " + c.tags + " " + c.encoder + " '" + movie +
                          "'"));
    ASSERT_TRUE(RunFfmpeg("-i '" + movie + "' -vf " + c.reference + " -frames:v 1 -f rawvideo '" +
                          reference + "'"));
    auto det = OpenVideo(movie);
    const GrabbedFrame f = GrabFrame(det.get(), 0.0, 320, 180);
    ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
    EXPECT_LT(MeanError(f, ReadFileBytes(reference)), 1.5);
    // Smaller than the picture, as in a sheet's cell.
    const GrabbedFrame cell = GrabFrame(det.get(), 0.0, 160, 90);
    ASSERT_EQ(cell.hr, S_OK) << det->LastErrorText();
    EXPECT_LT(MeanError(cell, ReadFileBytes(reference)), 2.5);
  }
}

TEST(FfmpegMediaDetTest, TransparentPicturesAreLaidOverTheBackground) {
  // A picture transparent on its left quarter, half transparent on the next one and opaque on
  // the rest, in each format that carries transparency: each grab is held against ffmpeg's own
  // decoding of the movie laid over the background colour.
  struct Case {
    const char* name;
    const char* encoder;
    const char* decoder;  // the decoder ffmpeg needs to see the transparency
  };
  const Case cases[] = {
      {"gif.gif", "", ""},
      {"qtrle.mov", "-c:v qtrle -pix_fmt argb", ""},
      {"prores.mov", "-c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le", ""},
      {"png.mov", "-c:v png -pix_fmt rgba", ""},
      {"vp8.webm", "-c:v libvpx -auto-alt-ref 0 -pix_fmt yuva420p -crf 4 -b:v 2M", "-c:v libvpx"},
      {"vp9.webm", "-c:v libvpx-vp9 -pix_fmt yuva420p -deadline realtime -crf 4 -b:v 0",
       "-c:v libvpx-vp9"},
  };
  constexpr std::uint32_t kBackground = 0xFF00FF;
  const std::string picture =
      "testsrc2=size=160x120:rate=10:duration=0.3,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':"
      "b='b(X,Y)':a='if(lt(X,40),0,if(lt(X,80),128,255))'";
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string movie = dir.File(c.name);
    const std::string reference = dir.File(std::string(c.name) + ".rgb");
    // A GIF keeps one transparent colour of its palette.
    const std::string gif_palette =
        std::string(c.encoder).empty()
            ? ",split[a][b];[a]palettegen=reserve_transparent=1[p];[b][p]paletteuse"
            : "";
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i \"" + picture + gif_palette + "\" " + c.encoder + " '" +
                          movie + "'"));
    char colour[32];
    std::snprintf(colour, sizeof colour, "0x%06X", kBackground);
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i color=c=" + std::string(colour) + ":size=160x120 " +
                          c.decoder + " -i '" + movie +
                          "' -filter_complex 'sws_flags=bicubic+accurate_rnd+full_chroma_int;"
                          "[0][1]overlay=format=rgb,format=rgb24' -frames:v 1 "
                          "-f rawvideo '" +
                          reference + "'"));
    auto det = OpenVideo(movie);
    det->SetBackground(kBackground);
    const GrabbedFrame f = GrabFrame(det.get(), 0.0, 160, 120);
    ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
    EXPECT_LT(MeanError(f, ReadFileBytes(reference)), 1.5);
    const std::uint32_t transparent = f.Mean(0, 0, 40, 120);
    for (int shift : {0, 8, 16})
      EXPECT_NEAR((transparent >> shift) & 0xFF, (kBackground >> shift) & 0xFF, 2)
          << std::hex << transparent;
  }
}

TEST(FfmpegMediaDetTest, InterlacedPicturesAreDeinterlaced) {
  // Fast horizontal motion at 50 pictures a second, woven two by two into interlaced frames:
  // a grab shows the picture of the first field, not both fields combed together, and with no
  // more line structure than the picture has.
  struct Case {
    const char* name;
    const char* scan;
    const char* encoder;
  };
  const Case cases[] = {
      {"tff.mpg", "tff", "-c:v mpeg2video -q:v 2 -flags +ilme+ildct -top 1"},
      {"bff.mkv", "bff", "-c:v libx264 -crf 12 -flags +ilme+ildct -x264opts bff=1"},
  };
  const std::string source = "-f lavfi -i 'testsrc=size=320x180:rate=50,scroll=horizontal=0.02'";
  TempDir dir;
  // Grabs one after another get each its own picture, none held over from the one before.
  const std::pair<double, int> grabs[] = {{0.22, 10}, {0.62, 30}, {0.22, 10}};
  for (int picture : {10, 30}) {
    ASSERT_TRUE(RunFfmpeg(source + " -vf 'select=eq(n\\," + std::to_string(picture) +
                          ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 '" +
                          dir.File(std::to_string(picture) + ".rgb") + "'"));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string movie = dir.File(c.name);
    ASSERT_TRUE(RunFfmpeg(source + " -t 1 -vf interlace=scan=" + c.scan + ":lowpass=0 " +
                          c.encoder + " '" + movie + "'"));
    auto det = OpenVideo(movie);
    for (auto [t, picture] : grabs) {
      const GrabbedFrame f = GrabFrame(det.get(), t, 320, 180);  // frame 5 holds pictures 10 and 11
      ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
      const std::string want = ReadFileBytes(dir.File(std::to_string(picture) + ".rgb"));
      EXPECT_LT(MeanError(f, want), 6) << "t=" << t;
      EXPECT_LT(
          LineStructure(f.rows(), f.stride(), 320, 180),
          LineStructure(reinterpret_cast<const std::uint8_t*>(want.data()), 320 * 3, 320, 180))
          << "t=" << t;
    }
  }
}

TEST(FfmpegMediaDetTest, Av1FramesLeftOutChangeNoPixelOfTheCells) {
  // SVT-AV1's hierarchical structure: the frames of its top layer refresh no reference slot.
  // The sheet's grabs decode forward from the one keyframe and leave those frames out where
  // they cannot be the cell's; each cell is still the picture a full decode gives.
  FixtureSpec spec;
  spec.container = "mp4";
  spec.codec = "libsvtav1";
  spec.codec_args = {"-preset", "10", "-svtav1-params", "scd=0"};
  spec.fps = 25;
  spec.frames = 100;
  spec.keyframe_interval = 100;
  std::string error;
  const std::string path = FixtureMovie(spec, &error);
  if (path.empty() && error.find("libsvtav1") != std::string::npos) GTEST_SKIP() << error;
  ASSERT_FALSE(path.empty()) << error;
  auto det = OpenVideo(path);
  // The packets that may be left out: some, but far from all.
  AVFormatContext* fmt = nullptr;
  ASSERT_EQ(avformat_open_input(&fmt, path.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
  const AVCodecParameters* par = fmt->streams[0]->codecpar;
  Av1Sequence sequence = Av1SequenceFromExtradata(par->extradata, par->extradata_size);
  EXPECT_TRUE(sequence.valid);
  int packets = 0, disposable = 0;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    ++packets;
    disposable += Av1PacketIsDisposable(pkt->data, pkt->size, &sequence);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  EXPECT_GT(disposable, packets / 8) << packets;
  EXPECT_LT(disposable, packets * 3 / 4) << packets;
  TempDir dir;
  const double interval = 4.0 / 14, tolerance = interval / 4;
  for (int k = 1; k <= 12; ++k) {
    GrabbedFrame f;
    f.width = 160;
    f.height = 120;
    f.record.assign(FfmpegMediaDet::FrameRecordSize(160, 120), 0xEE);
    f.hr = det->GetBitmapBitsNear(k * interval, tolerance, reinterpret_cast<char*>(f.record.data()),
                                  160, 120);
    ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
    const int n = f.Number();
    ASSERT_GE(n, 0) << "cell " << k;
    const std::string reference = dir.File("frame" + std::to_string(n) + ".rgb");
    ASSERT_TRUE(RunFfmpeg("-i '" + path + "' -vf 'select=eq(n\\," + std::to_string(n) +
                          ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 '" + reference + "'"));
    EXPECT_LT(MeanError(f, ReadFileBytes(reference)), 1.5) << "cell " << k << ", frame " << n;
  }
}

}  // namespace
