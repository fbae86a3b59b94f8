// SPDX-License-Identifier: GPL-3.0-or-later
#include "frames/frame_source.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

FrameSource::FrameSource(MediaDetFactory factory) : factory_(std::move(factory)) {}

FrameSource::~FrameSource() = default;

HRESULT FrameSource::Open(const std::string& src) {
  open_error_.clear();
  length_.reset();
  if (!factory_) return E_UNEXPECTED;
  if (HRESULT hr = factory_(&det_); Failed(hr)) {
    det_.reset();
    open_error_ = "cannot create the media detector";
    return hr;
  }
  if (!det_) return E_UNEXPECTED;
  det_->SetBackground(background_);
  // A name the code page cannot carry is a file that cannot be opened, not a crash.
  try {
    filename_ = MultibyteToBstr(src.c_str());
  } catch (const ComError& e) {
    open_error_ = e.what();
    return e.code();
  } catch (const std::bad_alloc&) {
    open_error_ = "out of memory";
    return E_OUTOFMEMORY;
  }
  return det_->put_Filename(filename_ ? filename_->c_str() : nullptr);
}

HRESULT FrameSource::OpenSameMovie(const FrameSource& first) {
  open_error_.clear();
  if (!factory_ || !first.det_) return E_UNEXPECTED;
  if (HRESULT hr = factory_(&det_); Failed(hr)) {
    det_.reset();
    open_error_ = "cannot create the media detector";
    return hr;
  }
  if (!det_) return E_UNEXPECTED;
  return det_->OpenSameMovie(*first.det_);
}

HRESULT FrameSource::SelectFirstVideoStream() {
  if (!det_) return E_UNEXPECTED;
  std::int32_t streams = 0;
  if (HRESULT hr = det_->get_OutputStreams(&streams); Failed(hr)) return hr;
  for (std::int32_t i = 0; i < streams; ++i) {
    // Any failing call ends the search: what follows it cannot be trusted.
    if (Failed(det_->put_CurrentStream(i))) break;
    GUID major_type = {};
    if (Failed(det_->get_StreamType(&major_type))) break;
    if (std::memcmp(&major_type, &MEDIATYPE_Video, sizeof(GUID)) == 0) return S_OK;
  }
  return VFW_E_INVALIDMEDIATYPE;
}

HRESULT FrameSource::ReadFrameSize() {
  if (!det_) return E_UNEXPECTED;
  AM_MEDIA_TYPE mt = {};
  if (HRESULT hr = det_->get_StreamMediaType(&mt); Failed(hr)) return hr;
  HRESULT hr = VFW_E_INVALIDMEDIATYPE;
  if (std::memcmp(&mt.formattype, &FORMAT_VideoInfo, sizeof(GUID)) == 0 &&
      mt.cbFormat > kVideoInfoHeaderSize - 1 && mt.pbFormat != nullptr) {
    std::int32_t w = 0, h = 0;
    std::memcpy(&w, mt.pbFormat + kVideoInfoWidthOffset, sizeof w);
    std::memcpy(&h, mt.pbFormat + kVideoInfoHeightOffset, sizeof h);
    width_ = w;
    // A top-down source states a negative height; the most negative one has no positive
    // counterpart and is taken as the largest.
    height_ = h >= 0 ? h : (h == std::numeric_limits<std::int32_t>::min() ? -(h + 1) : -h);
    hr = S_OK;
  }
  // Freed whenever there is a block, even one that states 0 bytes, so that none leaks.
  if (mt.cbFormat != 0 || mt.pbFormat != nullptr) {
    CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = nullptr;
  }
  if (mt.pUnk != nullptr) {
    mt.pUnk->Release();
    mt.pUnk = nullptr;
  }
  return hr;
}

HRESULT FrameSource::AllocateFrameRecord() {
  if (!det_) return E_UNEXPECTED;
  std::int32_t size = 0;
  if (HRESULT hr = det_->GetBitmapBits(0.0, &size, nullptr, grab_width(), grab_height());
      Failed(hr))
    return hr;
  if (size <= 0) return E_OUTOFMEMORY;
  try {
    record_ = FrameRecord(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    record_.Reset();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void FrameSource::FreeFrameRecord() { record_.Reset(); }

HRESULT FrameSource::ReadLength(double* seconds) {
  *seconds = 0.0;
  if (length_) {
    *seconds = *length_;
    return S_OK;
  }
  if (!det_) return E_UNEXPECTED;
  double length = 0.0;
  HRESULT hr = det_->get_StreamLength(&length);
  if (Succeeded(hr)) {
    *seconds = length;
    length_ = length;
  }
  return hr;
}

HRESULT FrameSource::Grab(double seconds) {
  if (!det_ || record_.empty()) return E_UNEXPECTED;
  return det_->GetBitmapBits(seconds, nullptr, reinterpret_cast<char*>(record_.data()),
                             grab_width(), grab_height());
}

HRESULT FrameSource::GrabNear(double seconds, double tolerance, std::uint8_t* record) {
  if (!det_ || (record == nullptr && record_.empty())) return E_UNEXPECTED;
  if (record == nullptr) record = record_.data();
  return det_->GetBitmapBitsNear(seconds, tolerance, reinterpret_cast<char*>(record), grab_width(),
                                 grab_height());
}

FrameTimes FrameSource::LastFrameTimes() const {
  FrameTimes times;
  if (det_ && Failed(det_->GetLastFrameTimes(&times.start, &times.next))) times = {};
  return times;
}

MovieFacts FrameSource::ReadMovieFacts() const {
  MovieFacts facts;
  if (det_ && Failed(det_->GetMovieFacts(&facts))) facts = {};
  return facts;
}

int FrameSource::SuggestedGrabWorkers(double interval) const {
  return det_ ? det_->SuggestedGrabWorkers(interval) : 1;
}

std::int64_t FrameSource::GrabGroup(double seconds, double tolerance) const {
  return det_ ? det_->GrabGroup(seconds, tolerance) : -1;
}

void FrameSource::SetBackground(std::uint32_t rgb) {
  background_ = rgb;
  if (det_) det_->SetBackground(rgb);
}

void FrameSource::SetDecodeThreads(int threads) {
  if (det_) det_->SetDecodeThreads(threads);
}

void FrameSource::SetMoreOfGroupToFollow(bool more) {
  if (det_) det_->SetMoreOfGroupToFollow(more);
}

std::string FrameSource::LastErrorText() const {
  if (!open_error_.empty()) return open_error_;
  return det_ ? det_->LastErrorText() : std::string();
}
