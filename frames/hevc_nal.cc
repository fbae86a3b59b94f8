// SPDX-License-Identifier: GPL-3.0-or-later
// Walking the NAL units of an HEVC packet, in either of its two layouts.
#include "frames/hevc_nal.h"

int HevcLengthFieldSize(const std::uint8_t* extradata, int extradata_size) {
  // An hvcC record starts with version 1; its byte 21 holds the length size minus one.
  if (extradata != nullptr && extradata_size >= 23 && extradata[0] == 1)
    return (extradata[21] & 3) + 1;
  return 0;
}

bool HevcPacketIsDisposable(const std::uint8_t* data, int size, int length_size) {
  bool any_picture = false;
  int pos = 0;
  while (pos < size) {
    int nal_start, nal_size;
    if (length_size > 0) {
      if (pos + length_size > size) return false;
      std::int64_t len = 0;
      for (int i = 0; i < length_size; ++i) len = (len << 8) | data[pos + i];
      nal_start = pos + length_size;
      if (len < 2 || len > size - nal_start) return false;
      nal_size = static_cast<int>(len);
      pos = nal_start + nal_size;
    } else {
      // Find the next start code, then the one after it.
      int sc = pos;
      while (sc + 2 < size && !(data[sc] == 0 && data[sc + 1] == 0 && data[sc + 2] == 1)) ++sc;
      if (sc + 2 >= size) break;
      nal_start = sc + 3;
      int end = nal_start;
      while (end + 2 < size && !(data[end] == 0 && data[end + 1] == 0 && data[end + 2] == 1)) ++end;
      if (end + 2 >= size) end = size;
      nal_size = end - nal_start;
      pos = end;
      if (nal_size < 2) continue;
    }
    const int type = (data[nal_start] >> 1) & 0x3F;
    if (type < 32) {
      // Pictures of types 0, 2, .. 14 are sub-layer non-reference; odd ones and IRAPs are not.
      if (type > 14 || (type & 1) != 0) return false;
      any_picture = true;
    } else if (type <= 34) {
      return false;  // VPS, SPS, PPS
    }
  }
  return any_picture;
}
