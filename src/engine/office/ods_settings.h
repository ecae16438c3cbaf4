// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>

namespace tessaro::office {

// LibreOffice writes the view settings of an .ods (frozen panes, zoom, the active sheet and
// cell of each sheet) only from a window showing it, and Tessaro's office has none: an .ods it
// saves would lose them. They are put back from `original` into the .ods at `written`, which
// is rewritten in place; sheets are named in them, so the copies, new there, get the default
// view. Nothing is changed when `original` has none or is not an archive LibreOffice wrote.
// Throws when `written` cannot be read or rewritten.
void keepViewSettings(const std::filesystem::path& original, const std::filesystem::path& written);

} // namespace tessaro::office
