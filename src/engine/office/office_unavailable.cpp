// SPDX-License-Identifier: MIT
// A build without the LibreOffice SDK: every legacy workbook gets the same clear refusal.
#include "engine/office/office_automation.h"

#include <fmt/format.h>

namespace tessaro::office {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void refuse(const fs::path& file)
{
    const WorkbookFormat format = detectWorkbookFormat(file);
    throw AutomationError(
        ErrorCode::OfficeUnavailable, fmt::format("{}: this is {}, which Tessaro opens through LibreOffice, but this build of Tessaro was made "
                         "without LibreOffice. Install it and its SDK (sudo apt-get install libreoffice-calc-nogui "
                         "libreoffice-dev) and build Tessaro again.",
                         file.string(), format == WorkbookFormat::Unknown ? "a workbook" : describeFormat(format)));
}

[[noreturn]] void noWorkbook()
{
    throw AutomationError(ErrorCode::WorkbookNotOpen, "A workbook handle that is not open in this LibreOffice instance was used.");
}

} // namespace

struct Office::Impl {
    OfficeOptions options;
};

Office::Office(OfficeOptions options) : impl_(std::make_unique<Impl>(Impl{std::move(options)})) {}
Office::~Office() = default;
void Office::stop() noexcept {}
bool Office::running() const { return false; }
std::optional<int> Office::processGroup() const { return std::nullopt; }
std::optional<fs::path> Office::profileDir() const { return std::nullopt; }
int Office::starts() const { return 0; }
std::chrono::milliseconds Office::lastStartDuration() const { return std::chrono::milliseconds(0); }
fs::path Office::sofficePath() const { return impl_->options.soffice; }
bool Office::supported() { return false; }

struct OfficeAutomation::Impl {};

OfficeAutomation::OfficeAutomation(std::shared_ptr<Office>) : impl_(std::make_unique<Impl>()) {}
OfficeAutomation::~OfficeAutomation() = default;
WorkbookRef OfficeAutomation::open(const fs::path& fullPath) { refuse(fullPath); }
WorkbookRef OfficeAutomation::open(const fs::path& fullPath, const fs::path&) { refuse(fullPath); }
void OfficeAutomation::setDisplayAlerts(bool) {}
int OfficeAutomation::worksheetCount(WorkbookRef) { noWorkbook(); }
std::string OfficeAutomation::worksheetName(WorkbookRef, int) { noWorkbook(); }
SheetRef OfficeAutomation::worksheet(WorkbookRef, const std::string&) { noWorkbook(); }
int OfficeAutomation::sheetCount(WorkbookRef) { noWorkbook(); }
SheetRef OfficeAutomation::sheet(WorkbookRef, int) { noWorkbook(); }
void OfficeAutomation::copySheet(SheetRef, Placement, SheetRef) { noWorkbook(); }
void OfficeAutomation::save(WorkbookRef) { noWorkbook(); }
void OfficeAutomation::checkSavable(WorkbookRef) { noWorkbook(); }
void OfficeAutomation::saveAs(WorkbookRef, const fs::path&) { noWorkbook(); }
void OfficeAutomation::close(WorkbookRef) {}
std::vector<std::string> OfficeAutomation::takeCopyNotes() { return {}; }
void OfficeAutomation::quit() {}
WorkbookFormat OfficeAutomation::format(WorkbookRef) const { noWorkbook(); }
const fs::path& OfficeAutomation::path(WorkbookRef) const { noWorkbook(); }
std::uint64_t OfficeAutomation::revision(WorkbookRef) const { noWorkbook(); }
std::optional<FileIdentity> OfficeAutomation::loadedStamp(WorkbookRef) const { noWorkbook(); }
std::string OfficeAutomation::sheetName(SheetRef) { noWorkbook(); }
void OfficeAutomation::exportXlsx(WorkbookRef, const fs::path&) { noWorkbook(); }
std::uint64_t OfficeAutomation::drawingObjects(SheetRef) { noWorkbook(); }
std::optional<std::string> OfficeAutomation::asianTextNote(SheetRef) { noWorkbook(); }
std::optional<std::string> OfficeAutomation::readAsNothingNote(SheetRef) { noWorkbook(); }

SpreadsheetAutomationFactory officeAutomationFactory(std::shared_ptr<Office> office)
{
    return [office] { return std::make_unique<OfficeAutomation>(office); };
}

} // namespace tessaro::office
