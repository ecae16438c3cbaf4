// SPDX-License-Identifier: MIT
#pragma once

#include "engine/office/sheet_view.h"

#include <filesystem>
#include <map>
#include <string>

namespace tessaro::office {

// LibreOffice writes the view settings of an .ods (frozen panes, zoom, the active sheet and
// cell of each sheet) only from a window showing it, and Tessaro's office has none: an .ods it
// saves would lose them. They are put back from `original` into the .ods at `written`, which
// is rewritten in place. The copies, new there, get the views of their sources (`copies`, by
// the copy's name). Nothing is changed when there is nothing to keep or
// `written` is not an archive LibreOffice wrote. Throws when `written` cannot be read or
// rewritten.
void keepViewSettings(const std::filesystem::path& original, const std::filesystem::path& written,
                      const std::map<std::string, SheetView>& copies = {});

// LibreOffice's .xlsx of an .ods or .xlsb it read has the default view in every sheet (it writes
// the view only from a window or from an .xls): the sheets' views (`views`, by sheet name) are
// put into the .xlsx at `written`, which is rewritten in place. A sheet with panes of its own
// keeps them. Throws when `written` cannot be read or rewritten.
void keepSheetViews(const std::filesystem::path& written, const std::map<std::string, SheetView>& views);

} // namespace tessaro::office
