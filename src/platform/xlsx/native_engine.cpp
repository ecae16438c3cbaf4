// SPDX-License-Identifier: MIT
// Placeholder until the engine lands: every instance refuses to open anything.
#include "platform/xlsx/native_engine.h"

namespace tessaro::xlsx {
namespace {
class Unavailable final : public SpreadsheetAutomation {
public:
    WorkbookRef open(const std::filesystem::path& p) override { fail(p.string()); }
    void setDisplayAlerts(bool) override {}
    int worksheetCount(WorkbookRef) override { fail(""); }
    std::string worksheetName(WorkbookRef, int) override { fail(""); }
    SheetRef worksheet(WorkbookRef, const std::string&) override { fail(""); }
    int sheetCount(WorkbookRef) override { fail(""); }
    SheetRef sheet(WorkbookRef, int) override { fail(""); }
    void copySheet(SheetRef, Placement, SheetRef) override { fail(""); }
    void save(WorkbookRef) override { fail(""); }
    void saveAs(WorkbookRef, const std::filesystem::path&) override { fail(""); }
    void close(WorkbookRef) override {}
    void quit() override {}

private:
    [[noreturn]] static void fail(const std::string& what)
    {
        throw AutomationError(1, what + ": the workbook engine is not built yet");
    }
};
} // namespace

SpreadsheetAutomationFactory nativeAutomationFactory()
{
    return [] { return std::make_unique<Unavailable>(); };
}
} // namespace tessaro::xlsx
