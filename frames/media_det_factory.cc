// SPDX-License-Identifier: GPL-3.0-or-later
// Creating a detector by its class id, and the default factory the sheet makes it with: the
// one place that knows the FFmpeg detector behind IMediaDet.
#include <new>

#include "frames/ffmpeg_media_det.h"
#include "frames/media_det.h"

namespace {
// The detector cannot be part of an aggregate object.
constexpr HRESULT kClassNoAggregation = static_cast<HRESULT>(0x80040110u);
}  // namespace

HRESULT CoCreateInstance(const GUID& clsid, void* outer, std::uint32_t /*context*/, const GUID& iid,
                         MediaDetPtr* detector) {
  if (detector == nullptr) return E_POINTER;
  detector->reset();
  if (outer != nullptr) return kClassNoAggregation;
  if (!(clsid == CLSID_MediaDet)) return REGDB_E_CLASSNOTREG;
  if (!(iid == IID_IMediaDet)) return E_NOINTERFACE;
  try {
    *detector = std::make_unique<FfmpegMediaDet>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

MediaDetFactory DefaultMediaDetFactory() {
  return [](MediaDetPtr* detector) {
    return CoCreateInstance(CLSID_MediaDet, nullptr, CLSCTX_ALL, IID_IMediaDet, detector);
  };
}
