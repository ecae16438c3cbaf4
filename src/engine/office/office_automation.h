// SPDX-License-Identifier: MIT
#pragma once

#include "engine/office/file_ops.h"
#include "engine/office/office.h"
#include "engine/office/workbook_format.h"
#include "platform/spreadsheet_automation.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace tessaro::office {

// A spreadsheet server instance on a shared LibreOffice process. It opens .xls, .xlsb and
// .ods workbooks (recognised by content) for reading and writing and Office Open XML ones
// for reading only: an OOXML file is written by the native engine alone, since LibreOffice
// loses parts of a workbook it rewrites. Workbooks are loaded without a view, with their
// format's filter named outright. Copies are named "Name", "Name (2)"...; save writes the
// workbook in its own format through a file beside it that is renamed over it, and .xlsb,
// which LibreOffice cannot write, is refused before anything changes. quit() closes this
// instance's workbooks; the process belongs to the Office and outlives instances.
class OfficeAutomation final : public SpreadsheetAutomation {
public:
    explicit OfficeAutomation(std::shared_ptr<Office> office);
    ~OfficeAutomation() override;

    WorkbookRef open(const std::filesystem::path& fullPath) override;
    // A file that stands for `origin` (the job's copy of a source): the copies' references to
    // its other sheets name `origin`, as the native engine's do.
    WorkbookRef open(const std::filesystem::path& fullPath, const std::filesystem::path& origin);
    void setDisplayAlerts(bool on) override;
    int worksheetCount(WorkbookRef book) override;
    std::string worksheetName(WorkbookRef book, int index) override;
    SheetRef worksheet(WorkbookRef book, const std::string& name) override;
    int sheetCount(WorkbookRef book) override;
    SheetRef sheet(WorkbookRef book, int index) override;
    std::string sheetName(SheetRef sheet) override;
    void copySheet(SheetRef sheet, Placement where, SheetRef anchor) override;
    void save(WorkbookRef book) override;
    void checkSavable(WorkbookRef book) override;
    void saveAs(WorkbookRef book, const std::filesystem::path& fullPath) override;
    void close(WorkbookRef book) override;
    void quit() override;
    std::vector<std::string> takeCopyNotes() override;

    // What the composite server needs besides the interface.
    WorkbookFormat format(WorkbookRef book) const;
    const std::filesystem::path& path(WorkbookRef book) const;
    // Copies made into the workbook since it was opened; 0 means it still matches what was
    // loaded.
    std::uint64_t revision(WorkbookRef book) const;
    // The file's identity when the workbook was loaded or last written.
    std::optional<FileIdentity> loadedStamp(WorkbookRef book) const;
    // Writes the workbook as it is now to an .xlsx file, leaving it bound to its own file.
    void exportXlsx(WorkbookRef book, const std::filesystem::path& target);
    // The pictures, shapes, charts, controls and embedded objects on the sheet, comments aside.
    std::uint64_t drawingObjects(SheetRef sheet);
    // What the report says of a protected sheet whose Chinese, Japanese or Korean text
    // LibreOffice writes in its own font, the sheet's formats being closed to change.
    std::optional<std::string> asianTextNote(SheetRef sheet);
    // What the report says of a sheet of an .xls whose formulas hold error constants that
    // LibreOffice reads as nothing, and so cannot pass on.
    std::optional<std::string> readAsNothingNote(SheetRef sheet);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A factory of LibreOffice-only instances, all on one Office.
SpreadsheetAutomationFactory officeAutomationFactory(std::shared_ptr<Office> office);

} // namespace tessaro::office
