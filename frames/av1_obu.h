// SPDX-License-Identifier: GPL-3.0-or-later
// What the OBU headers of an AV1 temporal unit say about its frames: whether any other frame
// may predict from them. The decoder leaves out packets nothing refers to when they cannot be
// the picture wanted; not every AV1 decoder FFmpeg may use honours its skipping of
// non-reference frames.
#pragma once

#include <array>
#include <cstdint>

/// The few fields of an AV1 sequence header that reading a frame header needs.
struct Av1Sequence {
  bool valid = false;
  bool reduced_still_picture_header = false;
  bool decoder_model_info_present = false;
  bool equal_picture_interval = false;
  int buffer_removal_time_length = 0;
  int frame_presentation_time_length = 0;
  int operating_points = 0;
  std::array<int, 32> operating_point_idc{};
  std::array<bool, 32> decoder_model_present{};
  bool frame_id_numbers_present = false;
  int frame_id_length = 0;
  int force_screen_content_tools = 0;  ///< 2: chosen frame by frame
  int force_integer_mv = 0;            ///< 2: chosen frame by frame
  int order_hint_bits = 0;
};

/// The sequence header in a stream's extradata (the av1C layout of MP4 and Matroska, or bare
/// OBUs); an invalid Av1Sequence when there is none or it cannot be read.
Av1Sequence Av1SequenceFromExtradata(const std::uint8_t* extradata, int size);

/// Whether the temporal unit `data` holds only frames that refresh no reference slot (no other
/// frame can predict from them), none of them showing an earlier frame, and no sequence
/// header, so that leaving it out of the decoder changes nothing but the absence of its
/// picture. A sequence header it holds replaces *sequence, which the frame headers are read
/// with. Anything unclear counts as needed.
bool Av1PacketIsDisposable(const std::uint8_t* data, int size, Av1Sequence* sequence);
