// SPDX-License-Identifier: MIT
// Drives the native engine directly, for the copy oracle and for trying files by hand:
//   xlsx_copy_tool SRC SHEET DEST [--before] [--count N] [--after-worksheets]
//   xlsx_copy_tool --list FILE...
// Copies go behind the last sheet (or, with --after-worksheets, behind sheet number
// "worksheet count", as the copy operation does), or with --before in front of sheets
// 1, 2, 3... When SRC and DEST are the same path the copy goes into that one workbook.
#include "engine/xlsx/native_engine.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

using tessaro::AutomationError;
using tessaro::Placement;

namespace {

int list(const std::vector<std::string>& files)
{
    int failures = 0;
    auto factory = tessaro::xlsx::nativeAutomationFactory();
    for (const auto& f : files) {
        auto server = factory();
        try {
            auto book = server->open(f);
            int n = server->worksheetCount(book);
            std::cout << f << ": " << n << " worksheets, " << server->sheetCount(book) << " sheets\n";
            for (int i = 1; i <= n; ++i)
                std::cout << "  " << server->worksheetName(book, i) << "\n";
            server->close(book);
        } catch (const AutomationError& e) {
            std::cout << "error " << e.number() << ": " << e.description() << "\n";
            ++failures;
        }
        server->quit();
    }
    return failures == 0 ? 0 : 3;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--list")
        return list(std::vector<std::string>(args.begin() + 1, args.end()));
    std::vector<std::string> pos;
    bool before = false, afterWorksheets = false;
    int count = 1;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--before")
            before = true;
        else if (args[i] == "--after-worksheets")
            afterWorksheets = true;
        else if (args[i] == "--count" && i + 1 < args.size())
            count = std::atoi(args[++i].c_str());
        else
            pos.push_back(args[i]);
    }
    if (pos.size() != 3) {
        std::cerr << "usage: xlsx_copy_tool SRC SHEET DEST [--before] [--count N] [--after-worksheets]\n"
                     "       xlsx_copy_tool --list FILE...\n";
        return 2;
    }
    auto server = tessaro::xlsx::nativeAutomationFactory()();
    try {
        auto src = server->open(pos[0]);
        auto dst = pos[2] == pos[0] ? src : server->open(pos[2]);
        auto sheet = server->worksheet(src, pos[1]);
        int front = 1;
        int end = afterWorksheets ? server->worksheetCount(dst) : server->sheetCount(dst);
        for (int k = 0; k < count; ++k) {
            if (before)
                server->copySheet(sheet, Placement::Before, server->sheet(dst, front++));
            else
                server->copySheet(sheet, Placement::After, server->sheet(dst, end++));
        }
        server->save(dst);
        server->quit();
    } catch (const AutomationError& e) {
        std::cerr << "error " << e.number() << ": " << e.description() << "\n";
        server->quit();
        return 1;
    }
    return 0;
}
