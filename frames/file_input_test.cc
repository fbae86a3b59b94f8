// SPDX-License-Identifier: GPL-3.0-or-later
// What the detector opens: regular files only, each failure with its cause, and a name with a
// colon as a file name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "frames/ffmpeg_media_det.h"
#include "testutil/detector_grabs.h"
#include "testutil/fixture_movies.h"
#include "testutil/temp_dir.h"

namespace {

TEST(FileInputTest, OpenFailsWithTheCauseForWhatIsNoMovie) {
  TempDir dir;
  FfmpegMediaDet det;
  EXPECT_EQ(det.put_Filename(Widen(dir.File("missing.mp4")).c_str()), HresultFromErrno(ENOENT));
  EXPECT_EQ(det.LastErrorText(), std::strerror(ENOENT));
  EXPECT_EQ(det.put_Filename(Widen(dir.path()).c_str()), HresultFromErrno(EISDIR));
  ASSERT_TRUE(WriteFileBytes(dir.File("text.mp4"), std::string(5000, 'x')));
  EXPECT_EQ(det.put_Filename(Widen(dir.File("text.mp4")).c_str()), VFW_E_INVALID_FILE_FORMAT);
  EXPECT_FALSE(det.LastErrorText().empty());
  // A FIFO would block the open until someone writes to it; it is refused at once.
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_EQ(det.put_Filename(Widen(dir.File("fifo")).c_str()), VFW_E_INVALID_FILE_FORMAT);
  EXPECT_EQ(det.put_Filename(u"/dev/zero"), VFW_E_INVALID_FILE_FORMAT);
  // Nothing is open after a failed open.
  std::int32_t streams = -1;
  EXPECT_TRUE(Failed(det.get_OutputStreams(&streams)));
  // A name with a colon is a file name, not a protocol.
  FixtureSpec spec;
  spec.frames = 3;
  const std::string path = MakeMovie(spec);
  const std::string colon = dir.File("concat:x.mkv");
  ASSERT_EQ(link(path.c_str(), colon.c_str()), 0);
  EXPECT_EQ(det.put_Filename(Widen(colon).c_str()), S_OK) << det.LastErrorText();
}

}  // namespace
