// SPDX-License-Identifier: MIT
#pragma once

#include "platform/xlsx/engine_context.h"
#include "platform/xlsx/package.h"
#include "platform/xlsx/shared_strings.h"
#include "platform/xlsx/styles.h"
#include "platform/xlsx/theme.h"
#include "platform/xlsx/workbook_part.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tessaro::xlsx {

// An open workbook: its package and the parts the engine models. Opening reads only what
// listing sheets needs (content types, relationships, the workbook part); styles, shared
// strings, theme and document properties are read the first time a copy needs them, and
// worksheets are never parsed except the one being copied.
class Workbook {
public:
    // Throws EngineError when the file is not a workbook this engine can open.
    Workbook(const std::filesystem::path& file, std::string displayPath, std::shared_ptr<EngineContext> context);

    std::uint64_t serial() const { return serial_; }
    const std::string& displayPath() const { return package_.displayPath(); }
    Package& package() { return package_; }
    EngineContext& context() { return *context_; }
    WorkbookPart& workbookPart() { return workbook_; }
    const WorkbookPart& workbookPart() const { return workbook_; }
    const std::string& workbookPartName() const { return workbookPartName_; }

    Stylesheet& styles();
    SharedStrings& sharedStrings();
    const ThemeInfo& theme();
    // Null when the package has no extended properties part.
    AppProperties* appProperties();

    // Maps formats of `source` onto this workbook's, remembering what it has merged.
    StyleMerger& mergerFrom(Workbook& source);
    // Forgets mergers that read from a workbook about to be closed.
    void forgetSource(std::uint64_t serial);
    // Takes back formats and strings appended since the marks (a copy that failed).
    struct Marks {
        Stylesheet::Mark styles;
        SharedStrings::Mark strings;
    };
    Marks marks();
    void rollback(const Marks& m);

    // Drops the calculation chain (part, relationship, content type): after sheets change
    // it would name cells wrongly, and applications rebuild it.
    void dropCalculationChain();
    // A free part name for a new worksheet.
    std::string newWorksheetPartName();

    bool modified() const;
    void save();
    void saveAs(const std::filesystem::path& file, std::string displayPath);

private:
    void flushModels();
    std::string partBeside(std::string_view fileName) const;

    std::uint64_t serial_;
    std::shared_ptr<EngineContext> context_;
    Package package_;
    std::string workbookPartName_;
    WorkbookPart workbook_;
    std::optional<Stylesheet> styles_;
    std::string stylesPart_;
    std::optional<SharedStrings> strings_;
    std::string stringsPart_;
    std::string flushedStrings_;
    std::optional<ThemeInfo> theme_;
    std::optional<AppProperties> app_;
    std::string appPart_;
    bool appLoaded_ = false;
    std::map<std::uint64_t, std::unique_ptr<StyleMerger>> mergers_;
};

} // namespace tessaro::xlsx
