// SPDX-License-Identifier: GPL-3.0-or-later
// The index an MP4 or QuickTime file makes the demuxer build, counted from its boxes before
// the demuxer reads them. The demuxer builds the whole index of every track as it opens the
// file, sized by what the sample tables claim: a few bytes of table can claim millions of
// samples, and each costs the demuxer some 30 bytes of memory, track after track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

/// The most index entries a movie may claim over all its tracks: some 8 million, more than a
/// whole day of 60 fps video with its sound, and still a few hundred megabytes of index.
inline constexpr std::uint64_t kMaxIndexEntries = std::uint64_t{1} << 23;

/// Reads up to `size` bytes of a file at `offset` into `out`; returns how many it read (fewer
/// at the end of the file or on an error).
using ReadAtFunction =
    std::function<std::size_t(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

/// The index entries the demuxer would make for the ISO base media file (MP4, MOV, 3GP, M4V)
/// of `size` bytes that `read` reads, summed over its tracks: the samples its sample tables
/// claim (or the chunks the demuxer cuts uncompressed sound into), and the samples its movie
/// fragments add, the boxes walked as the demuxer walks them, a compressed movie header
/// inflated. 0 for a file of any other kind; nothing when a compressed movie header is too
/// large to count.
std::optional<std::uint64_t> ClaimedIndexEntries(const ReadAtFunction& read, std::uint64_t size);

/// Why the file of `size` bytes that `read` reads must not be given to the demuxer: an index
/// claimed beyond what its bytes could hold (a sample takes at least one) or beyond
/// kMaxIndexEntries, or a compressed movie header too large to count. Nothing when its index
/// may be built.
std::optional<std::string> IndexClaimProblem(const ReadAtFunction& read, std::uint64_t size);
