// SPDX-License-Identifier: GPL-3.0-or-later
// The packets of one video stream in file order, with a few read ahead of the decoder: what
// lies ahead tells whether a picture about to be decoded can still be the one wanted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "frames/av_handles.h"

class Demuxer;

/// Packets of other streams read in one grab before it gives up (a file whose video ends
/// long before its audio still finishes, a hostile one does not read for ever).
inline constexpr int kMaxForeignPackets = 200000;

class VideoPackets {
 public:
  VideoPackets(Demuxer& demuxer, int stream) : demuxer_(demuxer), stream_(stream) {}

  /// The next packet of the stream into *out: the first one read ahead, else one from the
  /// demuxer. Returns what av_read_frame would; a read ahead that met the end of the file
  /// or an error gives that result once the packets before it are taken.
  int Next(AVPacket* out, int* foreign);
  /// The next packet of the stream straight from the demuxer, past any read ahead. Packets
  /// of other streams are dropped on the way and counted in *foreign; past
  /// kMaxForeignPackets the read fails.
  int Demux(AVPacket* out, int* foreign);
  /// Reads ahead until a packet is known to come after `target` in decoding order (its
  /// decoding time is later, and presentation never precedes decoding), or the read-ahead is
  /// full, or the file ends.
  void ReadAhead(std::int64_t target, int* foreign);
  /// Puts `packet` back, to be the next one Next gives.
  void PutBack(PacketPtr packet);
  /// Forgets what was read ahead (after a seek).
  void Clear();
  /// Whether a packet read ahead presents a picture after `pts` and not after `target`.
  bool AheadPresentsBetween(std::int64_t pts, std::int64_t target) const;

 private:
  Demuxer& demuxer_;
  const int stream_;
  std::deque<PacketPtr> ahead_;
  int ahead_end_ = 0;  // the result of the read that ended the read-ahead, until given
};
