// SPDX-License-Identifier: MIT
// Legacy-format workbooks for the LibreOffice tests, and a reader that is not the code under
// test: tests/support/office_books.py (openpyxl for .xlsx, its own LibreOffice otherwise).
#pragma once

#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace tessaro::test {

// The folder of the fixture workbooks src.{xls,ods,xlsx,xlsb}, dst.{xls,ods,xlsx} and
// serif.{xls,ods} (see office_books.py), made on first use and shared by the tests of one build.
std::filesystem::path officeFixtures();

// Copies fixture `name` to `dir` / `as` (or its own name) and returns the new path.
std::filesystem::path copyFixture(const std::string& name, const std::filesystem::path& dir, std::string as = {});

struct SheetView {
    std::map<std::string, std::string> cells;   // "B2" -> "n:2.5", "s:text" or "=B2+B3"
    std::set<std::string> bold;
    std::map<std::string, std::string> formats; // number formats other than General
    std::map<std::string, std::string> fonts;   // "A1" -> "Calibri 11"
    friend bool operator==(const SheetView&, const SheetView&) = default;
};

// The view with LibreOffice's Liberation fonts named as the metric twins its export to the
// Microsoft formats writes instead (Liberation Sans is written as Arial).
SheetView withMicrosoftFontNames(SheetView view);

// For readable test failures.
void PrintTo(const SheetView& view, std::ostream* out);

struct BookView {
    std::vector<std::string> sheets;
    std::map<std::string, SheetView> sheet;
};

// What each workbook holds, read independently of Tessaro. Throws when the reader fails.
std::map<std::filesystem::path, BookView> readBooks(const std::vector<std::filesystem::path>& files);
BookView readBook(const std::filesystem::path& file);

// Live (not zombie) processes whose command line contains `text`.
std::vector<int> processesMentioning(const std::string& text);

} // namespace tessaro::test
