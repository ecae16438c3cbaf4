// SPDX-License-Identifier: MIT
// Listing sheets through the automation interface, as the window and tessaro-cli do.
#include "fuzz_input.h"

#include <string>

using namespace tessaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto file = fuzz::writeScratch("list.xlsx", fuzz::workbookBytes({reinterpret_cast<const char*>(data), size}));
    auto server = fuzz::fuzzEngine()();
    try {
        WorkbookRef book = server->open(file);
        server->setDisplayAlerts(false);
        const int worksheets = server->worksheetCount(book);
        const int sheets = server->sheetCount(book);
        if (worksheets < 0 || worksheets > sheets)
            fuzz::violated("more worksheets than sheets");
        for (int i = 1; i <= worksheets; ++i) {
            const std::string name = server->worksheetName(book, i);
            if (name.empty())
                fuzz::violated("a worksheet without a name was listed");
            server->worksheet(book, name);
        }
        for (int i = 1; i <= sheets; ++i)
            server->sheet(book, i);
        try {
            server->sheet(book, sheets + 1);
            fuzz::violated("a sheet beyond the last one was given out");
        } catch (const AutomationError&) {
        }
        server->close(book);
    } catch (const AutomationError& e) {
        if (e.code() == ErrorCode::InternalFault || e.description().find(file.string() + ": ") != 0)
            fuzz::violated("a fault of the program, or an error without the file's name: " + e.description());
    }
    server->quit();
    return 0;
}
