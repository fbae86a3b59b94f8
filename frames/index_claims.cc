// SPDX-License-Identifier: GPL-3.0-or-later
// Walking an ISO base media file's boxes for the index entries its sample tables and movie
// fragments claim, the way the demuxer walks them.
#include "frames/index_claims.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr std::uint32_t Tag(const char (&name)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[3]));
}

// Boxes nested deeper than this make the demuxer give up on the file.
constexpr int kMaxDepth = 10;
// A compressed movie header is inflated up to this size to be counted; real ones inflate to a
// few hundred kilobytes.
constexpr std::size_t kMaxInflatedHeader = std::size_t{32} << 20;
// The fewest sound samples the demuxer puts in one index entry of uncompressed audio (1024, or
// a whole packet of 160 or more).
constexpr std::uint64_t kFewestSamplesPerSoundEntry = 160;

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

std::uint64_t SaturatingMultiply(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b
             ? std::numeric_limits<std::uint64_t>::max()
             : a * b;
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// A window over the file, so that a walk over many small boxes (a large movie header, a file of
// thousands of fragments) reads it in large pieces rather than once a box.
class WindowedReader {
 public:
  WindowedReader(const ReadAtFunction& read, std::uint64_t size) : read_(read), size_(size) {}

  // Copies the `n` bytes at `offset` to `out`; false when the file does not hold them all.
  bool Read(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    if (n > kWindow) return read_(offset, out, n) == n;
    if (offset < at_ || offset - at_ + n > filled_) {
      window_.resize(kWindow);
      at_ = offset;
      filled_ = read_(offset, window_.data(),
                      static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size_ - offset)));
      if (filled_ < n) return false;
    }
    std::memcpy(out, window_.data() + (offset - at_), n);
    return true;
  }

  // The big-endian number at `offset`, or 0 when the file ends before it.
  std::uint32_t Number(std::uint64_t offset) {
    std::uint8_t bytes[4];
    return Read(offset, bytes, 4) ? BigEndian32(bytes) : 0;
  }

 private:
  // Enough for most movie fragments' boxes, and no more than the demuxer reads of each.
  static constexpr std::size_t kWindow = std::size_t{16} << 10;
  const ReadAtFunction& read_;
  const std::uint64_t size_;
  std::vector<std::uint8_t> window_;
  std::uint64_t at_ = 0;
  std::size_t filled_ = 0;
};

struct Box {
  std::uint32_t type = 0;
  std::uint64_t body = 0;  // where its content starts
  std::uint64_t end = 0;   // where it ends
};

// The box at `at` in a parent that ends at `end`, read as the demuxer reads it: a size of 0
// reaches to the parent's end, a size of 1 is followed by a 64-bit one, and a box that would
// reach past its parent ends with it.
bool ReadBox(WindowedReader& file, std::uint64_t at, std::uint64_t end, Box* box) {
  std::uint8_t header[16];
  if (at >= end || end - at < 8 || !file.Read(at, header, 8)) return false;
  std::uint64_t size = BigEndian32(header);
  std::uint64_t header_size = 8;
  box->type = BigEndian32(header + 4);
  if (size == 1) {
    if (end - at < 16 || !file.Read(at + 8, header + 8, 8)) return false;
    size = std::uint64_t{BigEndian32(header + 8)} << 32 | BigEndian32(header + 12);
    header_size = 16;
  } else if (size == 0) {
    size = end - at;
  }
  if (size < header_size) return false;
  box->body = at + header_size;
  box->end = size > end - at ? end : at + size;
  return true;
}

// What one track's sample tables say, as far as its index goes.
struct TrackTables {
  std::uint64_t samples = 0;                 // stated by the sample size table
  std::uint64_t chunks = 0;                  // listed by the chunk offset table
  std::uint64_t most_samples_per_chunk = 0;  // stated by the sample-to-chunk table
  bool unit_durations = false;               // every sample lasts one tick
  bool sound = false;                        // the handler says it is sound

  // The demuxer makes an entry a sample, except for sound whose samples last one tick each
  // (uncompressed sound, a sample to every tick of the clock), which it cuts into entries of
  // a kilobyte of samples or a packet, chunk by chunk. A track whose handler does not say
  // sound may still be taken for it by its codec: it is counted both ways.
  std::uint64_t Entries() const {
    if (!unit_durations) return samples;
    const std::uint64_t per_chunk =
        most_samples_per_chunk / kFewestSamplesPerSoundEntry +
        (most_samples_per_chunk % kFewestSamplesPerSoundEntry != 0 ? 1 : 0);
    const std::uint64_t chunked = SaturatingMultiply(chunks, per_chunk);
    return sound ? chunked : std::max(samples, chunked);
  }
};

class ClaimCounter {
 public:
  std::uint64_t entries() const { return entries_; }
  bool countable() const { return countable_; }

  // Counts the boxes in [begin, end) of `file`, `depth` boxes deep, inside the track `track`
  // (null outside any).
  void Walk(WindowedReader& file, std::uint64_t begin, std::uint64_t end, int depth,
            TrackTables* track) {
    if (depth > kMaxDepth) return;
    Box box;
    for (std::uint64_t at = begin; countable_ && ReadBox(file, at, end, &box); at = box.end) {
      const std::uint64_t length = box.end - box.body;
      switch (box.type) {
        case Tag("trak"): {
          TrackTables tables;
          Walk(file, box.body, box.end, depth + 1, &tables);
          // The demuxer builds a track's index when it has read the track's boxes.
          entries_ = SaturatingAdd(entries_, tables.Entries());
          break;
        }
        // Boxes the demuxer reads as lists of further boxes.
        case Tag("moov"):
        case Tag("mdia"):
        case Tag("minf"):
        case Tag("stbl"):
        case Tag("dinf"):
        case Tag("edts"):
        case Tag("tref"):
        case Tag("udta"):
        case Tag("ilst"):
        case Tag("wave"):
        case Tag("sinf"):
        case Tag("schi"):
        case Tag("tapt"):
        case Tag("mvex"):
        case Tag("moof"):
        case Tag("traf"):
          Walk(file, box.body, box.end, depth + 1, track);
          break;
        case Tag("cmov"):
          WalkCompressedHeader(file, box, depth, track);
          break;
        case Tag("trun"):
          // A fragment's samples, added to its track's index as the fragment is read.
          entries_ = SaturatingAdd(entries_, file.Number(box.body + 4));
          break;
        case Tag("stsz"):
        case Tag("stz2"):
          if (track != nullptr) track->samples = file.Number(box.body + 8);
          break;
        case Tag("stco"):
        case Tag("co64"):
          if (track != nullptr && length >= 8) {
            const std::uint64_t width = box.type == Tag("stco") ? 4 : 8;
            track->chunks =
                std::min<std::uint64_t>(file.Number(box.body + 4), (length - 8) / width);
          }
          break;
        case Tag("stsc"):
          if (track != nullptr && length >= 8) {
            const std::uint64_t listed =
                std::min<std::uint64_t>(file.Number(box.body + 4), (length - 8) / 12);
            track->most_samples_per_chunk = 0;
            for (std::uint64_t i = 0; i < listed; ++i) {
              track->most_samples_per_chunk = std::max<std::uint64_t>(
                  track->most_samples_per_chunk, file.Number(box.body + 8 + 12 * i + 4));
            }
          }
          break;
        case Tag("hdlr"):
          // The handler's type follows its version, flags and a component type.
          if (track != nullptr) {
            const std::uint32_t type = file.Number(box.body + 8);
            if (type == Tag("soun")) track->sound = true;
            if (type == Tag("vide")) track->sound = false;
          }
          break;
        case Tag("stts"):
          if (track != nullptr) {
            track->unit_durations =
                file.Number(box.body + 4) == 1 && file.Number(box.body + 12) == 1;
          }
          break;
        default:
          break;
      }
    }
  }

 private:
  // A compressed movie header: a 'dcom' box naming zlib, then a 'cmvd' box holding the size
  // of the header inflated and the deflated bytes, which the demuxer inflates and reads as
  // the movie header's boxes.
  void WalkCompressedHeader(WindowedReader& file, const Box& box, int depth, TrackTables* track) {
    std::uint8_t head[24];
    if (box.end - box.body < sizeof head || !file.Read(box.body, head, sizeof head)) return;
    if (BigEndian32(head + 4) != Tag("dcom") || BigEndian32(head + 8) != Tag("zlib") ||
        BigEndian32(head + 16) != Tag("cmvd"))
      return;  // the demuxer gives up on the file
    const std::uint64_t deflated_size = box.end - box.body - sizeof head;
    const std::uint64_t stated_size = BigEndian32(head + 20);
    if (deflated_size > kMaxInflatedHeader) {
      countable_ = false;
      return;
    }
    std::vector<std::uint8_t> deflated(static_cast<std::size_t>(deflated_size));
    if (!file.Read(box.body + sizeof head, deflated.data(), deflated.size())) return;
    std::vector<std::uint8_t> header(
        static_cast<std::size_t>(std::min<std::uint64_t>(stated_size, kMaxInflatedHeader)));
    uLongf inflated = header.size();
    const int rc = uncompress(header.data(), &inflated, deflated.data(), deflated.size());
    if (rc == Z_BUF_ERROR && stated_size > kMaxInflatedHeader) {
      countable_ = false;  // more than can be looked at, and perhaps no more than stated
      return;
    }
    if (rc != Z_OK) return;  // the demuxer cannot inflate it either
    header.resize(inflated);
    deflated = {};
    const ReadAtFunction read_header = [&header](std::uint64_t offset, std::uint8_t* out,
                                                 std::size_t size) -> std::size_t {
      if (offset >= header.size()) return 0;
      const std::size_t n = std::min<std::size_t>(size, header.size() - offset);
      std::memcpy(out, header.data() + offset, n);
      return n;
    };
    WindowedReader inflated_file(read_header, header.size());
    Walk(inflated_file, 0, header.size(), depth + 1, track);
  }

  std::uint64_t entries_ = 0;
  bool countable_ = true;
};

}  // namespace

std::optional<std::uint64_t> ClaimedIndexEntries(const ReadAtFunction& read, std::uint64_t size) {
  WindowedReader file(read, size);
  ClaimCounter counter;
  counter.Walk(file, 0, size, 0, nullptr);
  if (!counter.countable()) return std::nullopt;
  return counter.entries();
}

std::optional<std::string> IndexClaimProblem(const ReadAtFunction& read, std::uint64_t size) {
  const std::optional<std::uint64_t> entries = ClaimedIndexEntries(read, size);
  if (!entries) return "a compressed movie header too large to read";
  const std::string claim = "the index claims " + std::to_string(*entries) + " samples, ";
  if (*entries > size)
    return claim + "more than the file's " + std::to_string(size) + " bytes hold";
  if (*entries > kMaxIndexEntries)
    return claim + "more than the " + std::to_string(kMaxIndexEntries) + " a movie may have";
  return std::nullopt;
}
