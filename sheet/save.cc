// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/save.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/encoders.h"
#include "platform/text_conv.h"

bool EncoderLookup(const char* mime, GUID* clsid) {
  if (mime == nullptr || clsid == nullptr) return false;
  bool found = false;
  std::uint32_t count = 0;
  std::uint32_t bytes = 0;
  GdipGetImageEncodersSize(&count, &bytes);
  // The table block comes from the C heap and is freed on every path, a throwing conversion
  // included.
  std::unique_ptr<ImageCodecInfo, decltype(&std::free)> table(
      static_cast<ImageCodecInfo*>(std::malloc(bytes)), &std::free);
  if (table == nullptr) return false;
  // A table that could not be filled holds nothing to read: that is "no encoder".
  if (GdipGetImageEncoders(count, bytes, table.get()) != Ok) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    WideToMultibyte codec_mime(table.get()[i].MimeType);
    if (codec_mime.get() != nullptr && std::strcmp(codec_mime.get(), mime) == 0) {
      std::memcpy(clsid, &table.get()[i].Clsid, sizeof(GUID));
      found = true;
      break;  // the first match in table order wins
    }
  }
  return found;
}

std::optional<std::string> SaveSizeProblem(const std::string& mime, std::int64_t width,
                                           std::int64_t height) {
  GUID clsid;
  if (!EncoderLookup(mime.c_str(), &clsid)) return std::nullopt;
  const EncoderEntry* encoder = FindEncoder(clsid);
  if (encoder == nullptr) return std::nullopt;
  // The encoder's module and image library, loaded now rather than after the grab.
  if (std::string why; LoadEncoder(*encoder, &why) == nullptr) return why;
  return EncoderSizeProblem(*encoder, width, height);
}

std::optional<std::string> DestinationNameProblem(const std::string& dst) {
  const std::size_t slash = dst.rfind('/');
  const std::size_t name_length = slash == std::string::npos ? dst.size() : dst.size() - slash - 1;
  const std::string folder = slash == std::string::npos ? "." : dst.substr(0, slash + 1);
  // The whole name must leave room for its NUL in PATH_MAX. Looking it up answers ENAMETOOLONG
  // for a part longer than its file system takes (the last part too, though it does not
  // exist), and the folder says how long a name in it may be.
  struct stat info;
  const long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
  if (dst.size() >= PATH_MAX || (lstat(dst.c_str(), &info) != 0 && errno == ENAMETOOLONG) ||
      (longest > 0 && name_length > static_cast<std::size_t>(longest)))
    return std::string(std::strerror(ENAMETOOLONG));
  return std::nullopt;
}

SaveOutcome SaveSheet(GpBitmap* canvas, const RunSettings& settings) {
  MultibyteToWide filename(settings.dst.c_str());
  GUID codec;
  if (!EncoderLookup(settings.format.c_str(), &codec))
    return {SaveOutcome::Kind::kNoEncoder, settings.format};

  std::string why;
  GpStatus status;
  if (std::strcmp(settings.format.c_str(), "image/jpeg") == 0) {
    std::int32_t quality = settings.quality;
    EncoderParameters p{};
    p.Count = 1;
    p.Parameter[0].Guid = EncoderQuality;
    p.Parameter[0].NumberOfValues = 1;
    p.Parameter[0].Type = EncoderParameterValueTypeLong;
    p.Parameter[0].Value = &quality;
    status = GdipSaveImageToFile(canvas, filename, &codec, &p, &why);
  } else {
    status = GdipSaveImageToFile(canvas, filename, &codec, nullptr, &why);
  }
  if (status != Ok) return {SaveOutcome::Kind::kFailed, why.empty() ? GpStatusText(status) : why};
  return {SaveOutcome::Kind::kWritten, {}};
}
