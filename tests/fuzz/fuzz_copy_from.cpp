// SPDX-License-Identifier: MIT
// Copying the worksheets of a fuzzed workbook into a fixed one (behind its last sheet, in
// front of its first) and into the fuzzed workbook itself; both are saved under new names
// and must open again as they were saved. The fixed workbook's own file never changes.
#include "fuzz_input.h"

#include <algorithm>


using namespace tessaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const auto destination = fuzz::writeScratch("fixed-destination.xlsx", fuzz::workbookBytes(fuzz::seedWorkbooks()[0]));
    static const std::string pristine = fuzz::readScratch(destination);
    const auto source = fuzz::writeScratch("source.xlsx", fuzz::workbookBytes({reinterpret_cast<const char*>(data), size}));
    const auto savedDestination = fuzz::scratch() / "copy-from-destination.xlsx";
    const auto savedSource = fuzz::scratch() / "copy-from-source.xlsx";
    std::vector<std::string> destinationOutline, sourceOutline;
    bool saved = false;
    auto server = fuzz::fuzzEngine()();
    try {
        WorkbookRef src = server->open(source);
        WorkbookRef dst = server->open(destination);
        const int n = std::min(server->worksheetCount(src), 3);
        for (int i = 1; i <= n; ++i) {
            SheetRef sheet = server->worksheet(src, server->worksheetName(src, i));
            server->copySheet(sheet, Placement::After, server->sheet(dst, server->sheetCount(dst)));
            server->copySheet(sheet, Placement::Before, server->sheet(dst, 1));
        }
        if (n > 0) {
            SheetRef first = server->worksheet(src, server->worksheetName(src, 1));
            server->copySheet(first, Placement::After, first);
        }
        destinationOutline = fuzz::outline(*server, dst);
        sourceOutline = fuzz::outline(*server, src);
        server->saveAs(dst, savedDestination);
        server->saveAs(src, savedSource);
        saved = true;
    } catch (const AutomationError& e) {
        fuzz::expectUsableError(e);
    }
    server->quit();
    if (fuzz::readScratch(destination) != pristine)
        fuzz::violated("the fixed destination's file changed although it was saved under another name");
    if (saved) {
        fuzz::expectReopens(savedDestination, destinationOutline);
        fuzz::expectReopens(savedSource, sourceOutline);
    }
    return 0;
}
