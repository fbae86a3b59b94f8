// SPDX-License-Identifier: GPL-3.0-or-later
// The frame source's thin layer over FFmpeg's C interface: an owner for every handle it
// allocates, the words and result code of a library error, and the few reads whose form
// changes between FFmpeg versions, written once here for every version from 5.1 on.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/com.h"

struct AVCodecContext;
struct AVCodecParameters;
struct AVContentLightMetadata;
struct AVDictionary;
struct AVFormatContext;
struct AVFrame;
struct AVMasteringDisplayMetadata;
struct AVPacket;
struct AVStream;
struct SwsContext;

struct FormatCloser {
  void operator()(AVFormatContext* p) const;
};
struct CodecCloser {
  void operator()(AVCodecContext* p) const;
};
struct FrameFreer {
  void operator()(AVFrame* p) const;
};
struct PacketFreer {
  void operator()(AVPacket* p) const;
};
struct DictFreer {
  void operator()(AVDictionary* p) const;
};
struct SwsFreer {
  void operator()(SwsContext* p) const;
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using DictPtr = std::unique_ptr<AVDictionary, DictFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;

/// FFmpeg's words for the error code `rc`.
std::string AvErrorText(int rc);

/// The result code of a library error: running out of memory is E_OUTOFMEMORY and other
/// system errors keep their number; anything else is `otherwise` (a file the libraries cannot
/// read as a movie, or a failed grab).
HRESULT FromAvError(int rc, HRESULT otherwise);

/// The display matrix the container states for the stream (nine 32-bit numbers), or null.
const std::int32_t* StreamDisplayMatrix(const AVStream* st);
/// The content light level the container states for the stream, or null.
const AVContentLightMetadata* StreamContentLightLevel(const AVStream* st);
/// The mastering display the container states for the stream, or null.
const AVMasteringDisplayMetadata* StreamMasteringDisplay(const AVStream* st);

/// The number stored in the colour-code field `field` (an AVColorPrimaries,
/// AVColorTransferCharacteristic, AVColorSpace or AVColorRange), read without loading it as
/// its enumeration: a damaged stream can put any number there, and loading a number that is
/// none of an enumeration's values as that enumeration is undefined.
template <typename Code>
int CodeNumber(const Code& field) {
  static_assert(std::is_enum_v<Code>);
  std::underlying_type_t<Code> raw;
  std::memcpy(&raw, &field, sizeof raw);
  return static_cast<int>(raw);
}

/// How long the decoded picture `f` lasts, in stream ticks, as its packet said; 0 or less
/// when unknown.
std::int64_t FrameDuration(const AVFrame* f);
/// Whether the decoder says the picture `f` is interlaced.
bool IsInterlaced(const AVFrame* f);
/// Whether the stream's parameters say its pictures are interlaced (a field order).
bool IsInterlaced(const AVCodecParameters* par);
