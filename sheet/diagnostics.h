// SPDX-License-Identifier: GPL-3.0-or-later
// What a sheet run writes to the console: its progress on standard output, and the one line on
// standard error that says why no sheet was written (or that it was written without its text),
// headed by the movie's path so that a line among a whole library's still says which movie it
// belongs to.
#pragma once

#include <string>

/// Why a run writes no sheet; each has its own line.
enum class SheetFailure {
  kCannotOpen,  ///< the movie cannot be opened
  kNoVideo,     ///< it has no video stream the sheet can use
  kNoFrame,     ///< no frame could be grabbed
  kNoCanvas,    ///< the sheet's canvas cannot be made
  kNoEncoder,   ///< no encoder for the format
  kCannotSave,  ///< the sheet cannot be written
};

/// Writes `text` (a progress mark or a line break) to standard output at once.
void PrintProgress(const char* text);

/// Writes one line to standard error, after whatever progress standard output still holds: the
/// movie's path `src` (as given, in the locale's encoding; control characters shown as '?', so
/// that the line stays one line), ": ", the line of `failure`, and ": " with `cause` when there
/// is one.
void Diagnose(const std::string& src, SheetFailure failure, const std::string& cause);

/// The line, made as Diagnose makes its lines, of a sheet written without the times or the
/// header it was asked for: no font on the machine can draw them.
void DiagnoseNoFont(const std::string& src);

/// The catch-all line for the movie `src`: its path and ": " (none while there is no movie),
/// then the line for a failure nobody foresaw with the system's words for the exception being
/// handled (out of memory, a system error, ...; an input/output error when there is none), as
/// perror writes them. It allocates nothing once PrepareCatchAllLine has run, and throws nothing.
void DiagnoseCurrentException(const std::string& src) noexcept;

/// Makes the catch-all line's words in the console's encoding, so that the line can still be
/// written when memory has run out. Call it once the console's encoding is known.
void PrepareCatchAllLine();
