// SPDX-License-Identifier: GPL-3.0-or-later
// The OBU walk of an AV1 temporal unit, and the parts of the sequence and frame headers that
// tell whether a frame refreshes a reference slot.
#include "frames/av1_obu.h"

#include <cstddef>

namespace {

enum ObuType {
  kSequenceHeader = 1,
  kTemporalDelimiter = 2,
  kFrameHeader = 3,
  kTileGroup = 4,
  kMetadata = 5,
  kFrame = 6,
  kRedundantFrameHeader = 7,
  kTileList = 8,
  kPadding = 15,
};

enum FrameType { kKeyFrame = 0, kInterFrame = 1, kIntraOnlyFrame = 2, kSwitchFrame = 3 };

constexpr int kSelect = 2;  // a sequence's "chosen frame by frame"

// Reads bits most significant first; a read past the end sets failed() and gives 0.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t Bits(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= size_ * 8) {
        failed_ = true;
        return 0;
      }
      v = (v << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
      ++pos_;
    }
    return v;
  }
  bool Bit() { return Bits(1) != 0; }
  // uvlc(): leading zeros, a one, then as many bits.
  void SkipUvlc() {
    int zeros = 0;
    while (!failed_ && !Bit()) {
      if (++zeros >= 32) {
        failed_ = true;
        return;
      }
    }
    Bits(zeros);
  }
  bool failed() const { return failed_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

bool ReadSequenceHeader(const std::uint8_t* data, std::size_t size, Av1Sequence* out) {
  BitReader r(data, size);
  Av1Sequence s;
  r.Bits(3);  // seq_profile
  r.Bit();    // still_picture
  s.reduced_still_picture_header = r.Bit();
  int buffer_delay_length = 0;
  bool initial_display_delay_present = false;
  if (s.reduced_still_picture_header) {
    s.operating_points = 1;
    r.Bits(5);  // seq_level_idx[0]
  } else {
    if (r.Bit()) {  // timing_info_present_flag
      r.Bits(32);   // num_units_in_display_tick
      r.Bits(32);   // time_scale
      s.equal_picture_interval = r.Bit();
      if (s.equal_picture_interval) r.SkipUvlc();
      s.decoder_model_info_present = r.Bit();
      if (s.decoder_model_info_present) {
        buffer_delay_length = static_cast<int>(r.Bits(5)) + 1;
        r.Bits(32);  // num_units_in_decoding_tick
        s.buffer_removal_time_length = static_cast<int>(r.Bits(5)) + 1;
        s.frame_presentation_time_length = static_cast<int>(r.Bits(5)) + 1;
      }
    }
    initial_display_delay_present = r.Bit();
    s.operating_points = static_cast<int>(r.Bits(5)) + 1;
    for (int i = 0; i < s.operating_points; ++i) {
      s.operating_point_idc[i] = static_cast<int>(r.Bits(12));
      if (r.Bits(5) > 7) r.Bit();  // seq_level_idx, seq_tier
      if (s.decoder_model_info_present) {
        s.decoder_model_present[i] = r.Bit();
        if (s.decoder_model_present[i]) {
          r.Bits(buffer_delay_length);  // decoder_buffer_delay
          r.Bits(buffer_delay_length);  // encoder_buffer_delay
          r.Bit();                      // low_delay_mode_flag
        }
      }
      if (initial_display_delay_present && r.Bit()) r.Bits(4);
    }
  }
  const int width_bits = static_cast<int>(r.Bits(4)) + 1;
  const int height_bits = static_cast<int>(r.Bits(4)) + 1;
  r.Bits(width_bits);
  r.Bits(height_bits);
  if (!s.reduced_still_picture_header) s.frame_id_numbers_present = r.Bit();
  if (s.frame_id_numbers_present) {
    const int delta_length = static_cast<int>(r.Bits(4)) + 2;
    s.frame_id_length = static_cast<int>(r.Bits(3)) + 1 + delta_length;
  }
  r.Bits(3);  // use_128x128_superblock, enable_filter_intra, enable_intra_edge_filter
  s.force_screen_content_tools = kSelect;
  s.force_integer_mv = kSelect;
  if (!s.reduced_still_picture_header) {
    r.Bits(4);  // interintra, masked compound, warped motion, dual filter
    const bool order_hint = r.Bit();
    if (order_hint) r.Bits(2);  // enable_jnt_comp, enable_ref_frame_mvs
    if (!r.Bit()) s.force_screen_content_tools = static_cast<int>(r.Bits(1));
    if (s.force_screen_content_tools > 0 && !r.Bit())
      s.force_integer_mv = static_cast<int>(r.Bits(1));
    if (order_hint) s.order_hint_bits = static_cast<int>(r.Bits(3)) + 1;
  }
  if (r.failed()) return false;
  s.valid = true;
  *out = s;
  return true;
}

// Whether the frame whose header starts at `data` may be left out: it shows no earlier frame
// and refreshes no reference slot. `temporal_id` and `spatial_id` come from the OBU's
// extension header (0 without one).
bool FrameIsDisposable(const std::uint8_t* data, std::size_t size, const Av1Sequence& s,
                       int temporal_id, int spatial_id) {
  if (s.reduced_still_picture_header) return false;  // a key frame, shown
  BitReader r(data, size);
  if (r.Bit()) return false;  // show_existing_frame
  const int frame_type = static_cast<int>(r.Bits(2));
  const bool intra = frame_type == kKeyFrame || frame_type == kIntraOnlyFrame;
  const bool show_frame = r.Bit();
  if (frame_type == kSwitchFrame || (frame_type == kKeyFrame && show_frame)) return false;
  if (show_frame && s.decoder_model_info_present && !s.equal_picture_interval)
    r.Bits(s.frame_presentation_time_length);
  if (!show_frame) r.Bit();  // showable_frame
  const bool error_resilient = r.Bit();
  r.Bit();  // disable_cdf_update
  int screen_content_tools = s.force_screen_content_tools;
  if (screen_content_tools == kSelect) screen_content_tools = static_cast<int>(r.Bits(1));
  if (screen_content_tools != 0 && s.force_integer_mv == kSelect) r.Bit();  // force_integer_mv
  if (s.frame_id_numbers_present) r.Bits(s.frame_id_length);
  r.Bit();  // frame_size_override_flag
  r.Bits(s.order_hint_bits);
  if (!intra && !error_resilient) r.Bits(3);  // primary_ref_frame
  if (s.decoder_model_info_present && r.Bit()) {
    for (int op = 0; op < s.operating_points; ++op) {
      if (!s.decoder_model_present[op]) continue;
      const int idc = s.operating_point_idc[op];
      const bool in_temporal = (idc >> temporal_id) & 1;
      const bool in_spatial = (idc >> (spatial_id + 8)) & 1;
      if (idc == 0 || (in_temporal && in_spatial)) r.Bits(s.buffer_removal_time_length);
    }
  }
  const std::uint32_t refresh_frame_flags = r.Bits(8);
  return !r.failed() && refresh_frame_flags == 0;
}

// The OBUs of `data` one by one: type, extension ids and payload. False on a malformed one.
template <typename Visit>
bool ForEachObu(const std::uint8_t* data, std::size_t size, Visit visit) {
  std::size_t pos = 0;
  while (pos < size) {
    const std::uint8_t header = data[pos++];
    if (header & 0x80) return false;  // forbidden bit
    const int type = (header >> 3) & 15;
    int temporal_id = 0, spatial_id = 0;
    if (header & 0x04) {
      if (pos >= size) return false;
      temporal_id = data[pos] >> 5;
      spatial_id = (data[pos] >> 3) & 3;
      ++pos;
    }
    std::size_t length = size - pos;
    if (header & 0x02) {
      std::uint64_t value = 0;
      int i = 0;
      for (;; ++i) {
        if (i == 8 || pos >= size) return false;
        const std::uint8_t byte = data[pos++];
        value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) break;
      }
      if (value > size - pos) return false;
      length = static_cast<std::size_t>(value);
    }
    if (!visit(type, temporal_id, spatial_id, data + pos, length)) return false;
    pos += length;
  }
  return true;
}

}  // namespace

Av1Sequence Av1SequenceFromExtradata(const std::uint8_t* extradata, int size) {
  Av1Sequence sequence;
  if (extradata == nullptr || size <= 0) return sequence;
  const auto* data = extradata;
  auto bytes = static_cast<std::size_t>(size);
  // av1C: a marker bit and version 1, three more bytes of profile and level, then the OBUs.
  if (bytes >= 4 && data[0] == 0x81) {
    data += 4;
    bytes -= 4;
  }
  ForEachObu(data, bytes, [&](int type, int, int, const std::uint8_t* payload, std::size_t length) {
    if (type == kSequenceHeader) ReadSequenceHeader(payload, length, &sequence);
    return true;
  });
  return sequence;
}

bool Av1PacketIsDisposable(const std::uint8_t* data, int size, Av1Sequence* sequence) {
  if (data == nullptr || size <= 0) return false;
  bool disposable = true;
  int frames = 0;
  const bool read =
      ForEachObu(data, static_cast<std::size_t>(size),
                 [&](int type, int temporal_id, int spatial_id, const std::uint8_t* payload,
                     std::size_t length) {
                   switch (type) {
                     case kSequenceHeader:
                       if (!ReadSequenceHeader(payload, length, sequence)) sequence->valid = false;
                       disposable = false;
                       return true;
                     case kFrameHeader:
                     case kFrame:
                       ++frames;
                       if (!sequence->valid ||
                           !FrameIsDisposable(payload, length, *sequence, temporal_id, spatial_id))
                         disposable = false;
                       return true;
                     case kTemporalDelimiter:
                     case kTileGroup:
                     case kMetadata:
                     case kRedundantFrameHeader:
                     case kTileList:
                     case kPadding:
                       return true;
                     default:
                       disposable = false;  // reserved: not known to be harmless
                       return true;
                   }
                 });
  return read && disposable && frames > 0;
}
