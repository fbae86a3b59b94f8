// SPDX-License-Identifier: GPL-3.0-or-later
// What a sheet run writes to the console: its progress on standard output, and the one line on
// standard error that says why no sheet was written.
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

/// Writes the line of `failure` to standard error, followed by ": " and `cause` when there is
/// one, after whatever progress standard output still holds.
void Diagnose(SheetFailure failure, const std::string& cause);

/// The catch-all line: the line for a failure nobody foresaw, with the system's words for the
/// exception being handled (out of memory, a system error, ...). Call it only from a catch block.
void DiagnoseCurrentException();
