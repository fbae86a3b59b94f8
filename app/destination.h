// SPDX-License-Identifier: GPL-3.0-or-later
// The destination name: derived from the source when none is given, built from a "*"
// pattern, or taken as typed; and the refusal to run when that name already exists.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "settings/run_settings.h"

/// `FindExtension`: the position of the extension, the last "." of the last path component
/// ('/' separates directories), or path.size() when that component has no dot. The path is
/// walked character by character in the conversion code page, so the second byte of a
/// double-byte character is never taken for a '/' or a '.'.
std::size_t FindExtension(std::string_view path);

/// The destination that a run writes, from the source path, the destination as given (empty
/// when none) and the MIME type:
/// - none given: the source with its extension replaced (or one appended) by .png for
///   "image/png", .gif for "image/gif", else .jpg;
/// - a name holding "*": the whole source path followed by what comes after the first "*";
/// - any other name: as typed.
std::string DestinationName(std::string_view src, std::string_view dst, std::string_view format);

/// `PathFileExistsA`: true when a directory entry of that name exists. A dangling symbolic
/// link counts, since writing through it would create or clobber its target.
bool PathFileExistsA(const char* path);

/// `ResolveDestination`: rewrites settings.dst with DestinationName. When that name exists,
/// prints "dst: <name>" and the refusal sentence (no final line feed) to standard output and
/// returns false; otherwise returns true.
bool ResolveDestination(RunSettings& settings);
