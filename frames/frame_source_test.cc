// SPDX-License-Identifier: GPL-3.0-or-later
#include "frames/frame_source.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "testutil/fixture_movies.h"
#include "testutil/temp_dir.h"

namespace {

// Counts its releases, to check that the media type's pUnk is let go.
class CountedUnknown : public IUnknown {
 public:
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override {
    ++releases;
    return --refs;
  }
  std::uint32_t refs = 1;
  int releases = 0;
};

// A detector whose streams, format block and failures a test sets, and which records the
// calls of the stream search.
struct ScriptedDet : IMediaDet {
  std::vector<GUID> streams;
  HRESULT streams_result = S_OK;
  int failing_put_stream = -1;  // put_CurrentStream fails for this index
  int failing_get_type = -1;    // get_StreamType fails for this index
  GUID format_type = FORMAT_VideoInfo;
  std::uint32_t format_size = kVideoInfoHeaderSize;
  std::int32_t bi_width = 640;
  std::int32_t bi_height = 480;
  HRESULT media_type_result = S_OK;
  CountedUnknown* unk = nullptr;
  HRESULT size_result = S_OK;
  std::int32_t size_answer = -1;  // -1: the real size
  std::vector<std::int32_t> put_streams;
  std::int32_t current = -1;
  std::vector<double> grabs;

  HRESULT get_OutputStreams(std::int32_t* count) override {
    *count = static_cast<std::int32_t>(streams.size());
    return streams_result;
  }
  HRESULT put_CurrentStream(std::int32_t index) override {
    put_streams.push_back(index);
    if (index == failing_put_stream) return E_FAIL;
    current = index;
    return S_OK;
  }
  HRESULT get_StreamType(GUID* type) override {
    if (current == failing_get_type) return E_UNEXPECTED;
    *type = streams.at(current);
    return S_OK;
  }
  HRESULT get_StreamLength(double* seconds) override {
    *seconds = 12.5;
    return S_OK;
  }
  HRESULT put_Filename(const char16_t*) override { return S_OK; }
  HRESULT GetBitmapBits(double t, std::int32_t* size, char* buffer, std::int32_t w,
                        std::int32_t h) override {
    if (Failed(size_result)) return size_result;
    if (buffer == nullptr) {
      *size = size_answer >= 0 ? size_answer : 40 + ((w * 3 + 3) & ~3) * h;
      return S_OK;
    }
    grabs.push_back(t);
    std::memset(buffer, 0x5A, 40);
    return t < 0 ? E_FAIL : S_OK;
  }
  HRESULT get_StreamMediaType(AM_MEDIA_TYPE* mt) override {
    *mt = {};
    if (Failed(media_type_result)) return media_type_result;
    mt->formattype = format_type;
    mt->cbFormat = format_size;
    mt->pbFormat = static_cast<std::uint8_t*>(CoTaskMemAlloc(format_size));
    std::memset(mt->pbFormat, 0, format_size);
    if (format_size >= kVideoInfoHeaderSize) {
      std::memcpy(mt->pbFormat + kVideoInfoWidthOffset, &bi_width, 4);
      std::memcpy(mt->pbFormat + kVideoInfoHeightOffset, &bi_height, 4);
    }
    if (unk != nullptr) {
      unk->AddRef();
      mt->pUnk = unk;
    }
    return S_OK;
  }
  std::string LastErrorText() const override { return "scripted"; }
};

// A FrameSource over `det` (owned by the test), already opened.
struct Harness {
  ScriptedDet* det = new ScriptedDet;
  FrameSource source;
  Harness()
      : source([this](MediaDetPtr* out) {
          out->reset(det);
          return S_OK;
        }) {
    EXPECT_EQ(source.Open("/v/clip.avi"), S_OK);
  }
};

TEST(FrameSourceTest, SelectsTheFirstVideoStreamAndStopsAtAFailingCall) {
  {
    Harness h;
    h.det->streams = {MEDIATYPE_Audio, MEDIATYPE_Video, MEDIATYPE_Video};
    EXPECT_EQ(h.source.SelectFirstVideoStream(), S_OK);
    EXPECT_EQ(h.det->current, 1);
    EXPECT_EQ(h.det->put_streams, (std::vector<std::int32_t>{0, 1}));
  }
  {
    Harness h;  // no stream at all
    EXPECT_EQ(h.source.SelectFirstVideoStream(), VFW_E_INVALIDMEDIATYPE);
    EXPECT_TRUE(h.det->put_streams.empty());
  }
  {
    Harness h;  // audio and text only
    h.det->streams = {MEDIATYPE_Audio, MEDIATYPE_Text};
    EXPECT_EQ(h.source.SelectFirstVideoStream(), VFW_E_INVALIDMEDIATYPE);
  }
  {
    Harness h;  // a failing put_CurrentStream ends the search before the video stream
    h.det->streams = {MEDIATYPE_Audio, MEDIATYPE_Audio, MEDIATYPE_Video};
    h.det->failing_put_stream = 1;
    EXPECT_EQ(h.source.SelectFirstVideoStream(), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(h.det->put_streams, (std::vector<std::int32_t>{0, 1}));
  }
  {
    Harness h;  // so does a failing get_StreamType
    h.det->streams = {MEDIATYPE_Audio, MEDIATYPE_Video};
    h.det->failing_get_type = 0;
    EXPECT_EQ(h.source.SelectFirstVideoStream(), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(h.det->put_streams, (std::vector<std::int32_t>{0}));
  }
  {
    Harness h;  // the stream count's own failure is handed back as it is
    h.det->streams = {MEDIATYPE_Video};
    h.det->streams_result = E_OUTOFMEMORY;
    EXPECT_EQ(h.source.SelectFirstVideoStream(), E_OUTOFMEMORY);
  }
}

TEST(FrameSourceTest, FrameSizeOnlyFromAVideoInfoBlockOfAtLeast88Bytes) {
  {
    Harness h;
    CountedUnknown unk;
    h.det->unk = &unk;
    h.det->bi_height = -480;  // top-down source
    EXPECT_EQ(h.source.width(), 0);
    EXPECT_EQ(h.source.ReadFrameSize(), S_OK);
    EXPECT_EQ(h.source.width(), 640);
    EXPECT_EQ(h.source.height(), 480);
    EXPECT_EQ(unk.releases, 1);
    EXPECT_EQ(unk.refs, 1u);
  }
  {
    Harness h;
    CountedUnknown unk;
    h.det->unk = &unk;
    h.det->format_type = FORMAT_VideoInfo2;
    EXPECT_EQ(h.source.ReadFrameSize(), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(h.source.width(), 0);
    EXPECT_EQ(h.source.height(), 0);
    EXPECT_EQ(unk.releases, 1);  // released on the refusing path too
  }
  {
    Harness h;
    h.det->format_size = 87;
    EXPECT_EQ(h.source.ReadFrameSize(), VFW_E_INVALIDMEDIATYPE);
    h.det->format_size = 88;
    EXPECT_EQ(h.source.ReadFrameSize(), S_OK);
  }
  {
    Harness h;
    h.det->format_type = GUID_NULL;
    h.det->format_size = 0;
    EXPECT_EQ(h.source.ReadFrameSize(), VFW_E_INVALIDMEDIATYPE);
    h.det->media_type_result = E_UNEXPECTED;
    EXPECT_EQ(h.source.ReadFrameSize(), E_UNEXPECTED);
  }
}

TEST(FrameSourceTest, SizesTheRecordAndGrabsIntoIt) {
  Harness h;
  h.det->bi_width = 33;
  h.det->bi_height = 17;
  ASSERT_EQ(h.source.ReadFrameSize(), S_OK);
  EXPECT_EQ(h.source.Grab(1.0), E_UNEXPECTED);  // no record yet
  ASSERT_EQ(h.source.AllocateFrameRecord(), S_OK);
  EXPECT_EQ(h.source.frame_record_size(), 40 + 100 * 17);
  EXPECT_EQ(h.source.Grab(2.5), S_OK);
  EXPECT_EQ(h.source.frame_record()[0], 0x5A);
  EXPECT_EQ(h.source.Grab(-1.0), E_FAIL);
  EXPECT_EQ(h.det->grabs, (std::vector<double>{2.5, -1.0}));
  double length = -1;
  EXPECT_EQ(h.source.ReadLength(&length), S_OK);
  EXPECT_EQ(length, 12.5);
  h.source.FreeFrameRecord();
  EXPECT_FALSE(h.source.has_frame_record());

  Harness failing;
  failing.det->size_result = VFW_E_INVALIDMEDIATYPE;
  EXPECT_EQ(failing.source.AllocateFrameRecord(), VFW_E_INVALIDMEDIATYPE);
  failing.det->size_result = S_OK;
  failing.det->size_answer = 0;
  EXPECT_EQ(failing.source.AllocateFrameRecord(), E_OUTOFMEMORY);
}

TEST(FrameSourceTest, OpenHandsBackTheFailingCode) {
  FrameSource no_factory([](MediaDetPtr*) { return REGDB_E_CLASSNOTREG; });
  EXPECT_EQ(no_factory.Open("/v/clip.avi"), REGDB_E_CLASSNOTREG);

  TempDir dir;
  FrameSource missing;
  EXPECT_EQ(missing.Open(dir.File("clip.avi")), HresultFromErrno(ENOENT));
  EXPECT_EQ(missing.LastErrorText(), std::strerror(ENOENT));
  // Bytes that are no text in the code page are a name all the same: they reach the file
  // system as they are.
  FrameSource garbled;
  EXPECT_EQ(garbled.Open(dir.File("\xff\xfe\x80.avi")), HresultFromErrno(ENOENT))
      << "the name did not reach the file system";
  EXPECT_EQ(garbled.LastErrorText(), std::strerror(ENOENT));

  MediaDetPtr det;
  EXPECT_EQ(CoCreateInstance(IID_IMediaDet, nullptr, CLSCTX_ALL, IID_IMediaDet, &det),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(det, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_MediaDet, nullptr, CLSCTX_ALL, IID_IMediaDet, &det), S_OK);
  EXPECT_NE(det, nullptr);
}

TEST(FrameSourceTest, RunsOnRealMovies) {
  FixtureSpec audio;
  audio.container = "wav";
  audio.audio_only = true;
  std::string error;
  const std::string audio_path = FixtureMovie(audio, &error);
  ASSERT_FALSE(audio_path.empty()) << error;
  FrameSource audio_only;
  ASSERT_EQ(audio_only.Open(audio_path), S_OK);
  EXPECT_EQ(audio_only.SelectFirstVideoStream(), VFW_E_INVALIDMEDIATYPE);

  FixtureSpec movie;
  movie.container = "mp4";
  movie.codec = "libx264";
  movie.codec_args = {"-preset", "veryfast", "-crf", "20"};
  movie.audio_first = true;
  movie.frames = 28;
  const std::string path = FixtureMovie(movie, &error);
  ASSERT_FALSE(path.empty()) << error;
  FrameSource source;
  ASSERT_EQ(source.Open(path), S_OK);
  ASSERT_EQ(source.SelectFirstVideoStream(), S_OK);
  ASSERT_EQ(source.ReadFrameSize(), S_OK);
  EXPECT_EQ(source.width(), 160);
  EXPECT_EQ(source.height(), 120);
  ASSERT_EQ(source.AllocateFrameRecord(), S_OK);
  EXPECT_EQ(source.frame_record_size(), 40 + 480 * 120);
  double length = 0;
  ASSERT_EQ(source.ReadLength(&length), S_OK);
  EXPECT_NEAR(length, 2.8, 0.01);
  // The sampling of a 2 x 2 sheet: k * L / 6.
  const double interval = length / 6;
  double t = interval;
  for (int k = 1; k <= 4; ++k, t += interval) {
    ASSERT_EQ(source.Grab(t), S_OK) << source.LastErrorText();
    EXPECT_EQ(ReadFrameNumber(source.frame_record() + 40, 160, 120, 480, true),
              static_cast<int>(t * 10 + 1e-6))
        << "k=" << k;
  }
}

TEST(FrameSourceTest, ACoverTrackAheadOfTheMovieIsNotTheMovie) {
  // A one-picture track, not flagged as a cover, before the movie's own video: the movie is
  // the second. A picture alone is still a movie of its own.
  FixtureSpec movie;
  movie.container = "mp4";
  movie.codec = "libx264";
  movie.frames = 20;
  std::string error;
  const std::string movie_path = FixtureMovie(movie, &error);
  ASSERT_FALSE(movie_path.empty()) << error;
  TempDir dir;
  const std::string cover = dir.File("cover.png");
  const std::string quiet = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
  ASSERT_EQ(std::system((quiet + "-f lavfi -i color=c=red:size=64x48 -frames:v 1 '" + cover +
                         "' </dev/null")
                            .c_str()),
            0);
  for (const char* container : {"mp4", "mkv"}) {
    SCOPED_TRACE(container);
    const std::string path = dir.File(std::string("cover_first.") + container);
    ASSERT_EQ(std::system((quiet + "-i '" + cover + "' -i '" + movie_path +
                           "' -map 0:v -map 1:v -c:v:0 mjpeg -c:v:1 copy '" + path + "' </dev/null")
                              .c_str()),
              0);
    FrameSource source;
    ASSERT_EQ(source.Open(path), S_OK);
    ASSERT_EQ(source.SelectFirstVideoStream(), S_OK);
    ASSERT_EQ(source.ReadFrameSize(), S_OK);
    EXPECT_EQ(source.width(), 160);
    EXPECT_EQ(source.height(), 120);
    ASSERT_EQ(source.AllocateFrameRecord(), S_OK);
    ASSERT_EQ(source.Grab(1.25), S_OK) << source.LastErrorText();
    EXPECT_EQ(ReadFrameNumber(source.frame_record() + 40, 160, 120, 480, true), 12);
  }
  FrameSource picture;
  ASSERT_EQ(picture.Open(cover), S_OK);
  ASSERT_EQ(picture.SelectFirstVideoStream(), S_OK);
  ASSERT_EQ(picture.ReadFrameSize(), S_OK);
  EXPECT_EQ(picture.width(), 64);
}

}  // namespace
