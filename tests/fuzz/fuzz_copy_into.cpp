// SPDX-License-Identifier: MIT
// Copying worksheets of a fixed workbook into a fuzzed one (in front, in the middle and
// behind), and the fuzzed workbook's first worksheet into itself; the fuzzed workbook is
// saved in place and must open again as it was saved.
#include "fuzz_input.h"


using namespace tessaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const auto source = fuzz::writeScratch("fixed-source.xlsx", fuzz::workbookBytes(fuzz::seedWorkbooks()[0]));
    const auto destination =
        fuzz::writeScratch("destination.xlsx", fuzz::workbookBytes({reinterpret_cast<const char*>(data), size}));
    std::vector<std::string> expected;
    bool saved = false;
    auto server = fuzz::fuzzEngine()();
    try {
        WorkbookRef src = server->open(source);
        WorkbookRef dst = server->open(destination);
        SheetRef data_ = server->worksheet(src, "Data");
        SheetRef notes = server->worksheet(src, "Notes & more");
        server->copySheet(data_, Placement::Before, server->sheet(dst, 1));
        server->copySheet(notes, Placement::After, server->sheet(dst, server->sheetCount(dst)));
        server->copySheet(data_, Placement::After, server->sheet(dst, (server->sheetCount(dst) + 1) / 2));
        if (server->worksheetCount(dst) > 0) {
            SheetRef own = server->worksheet(dst, server->worksheetName(dst, 1));
            server->copySheet(own, Placement::After, own);
        }
        expected = fuzz::outline(*server, dst);
        server->save(dst);
        saved = true;
    } catch (const AutomationError& e) {
        fuzz::expectUsableError(e);
    }
    server->quit();
    if (saved)
        fuzz::expectReopens(destination, expected);
    return 0;
}
