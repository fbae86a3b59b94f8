// SPDX-License-Identifier: GPL-3.0-or-later
// The last stage of a sheet: find the encoder for the MIME type and write the canvas.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/com.h"
#include "platform/imaging.h"
#include "settings/run_settings.h"

/// Finds the first encoder whose MIME type equals `mime` exactly (case-sensitive). On success
/// writes its class identifier to *clsid and returns true; otherwise leaves *clsid untouched.
bool EncoderLookup(const char* mime, GUID* clsid);

struct SaveOutcome {
  enum class Kind { kWritten, kNoEncoder, kFailed };
  Kind kind = Kind::kFailed;
  std::string cause;  ///< why nothing was written, in words; empty when written
  bool written() const { return kind == Kind::kWritten; }
};

/// Why an image of width x height cannot be written in `mime` (its encoder's most pixels a side:
/// JPEG holds 65,500, WebP 16,383; its most pixels in all, such as 20 megapixels for JPEG XL;
/// or an encoder whose image library cannot be loaded), known before anything is drawn;
/// nothing when it can.
std::optional<std::string> SaveSizeProblem(const std::string& mime, std::int64_t width,
                                           std::int64_t height);

/// Why the file system cannot hold a file named `dst`: the whole name, or its last part, is
/// longer than the file system takes ("File name too long"), known before anything is drawn;
/// nothing when it can, or when only the save can tell (a missing folder, say).
std::optional<std::string> DestinationNameProblem(const std::string& dst);

/// Writes `canvas` to settings.dst in settings.format (JPEG with settings.quality). Prints
/// nothing. Never replaces an existing file and leaves no partial file behind. May throw
/// ComError from the text conversions.
SaveOutcome SaveSheet(GpBitmap* canvas, const RunSettings& settings);
