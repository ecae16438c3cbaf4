// SPDX-License-Identifier: MIT
// Writes the built-in seed workbooks (parts text, and as zip files) into a folder, for a
// fuzzer's starting corpus.
#include "fuzz_input.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    int n = 0;
    for (const std::string& seed : tessaro::fuzz::seedWorkbooks()) {
        ++n;
        std::ofstream(std::filesystem::path(argv[1]) / ("seed-" + std::to_string(n) + ".txt"), std::ios::binary) << seed;
        std::ofstream(std::filesystem::path(argv[1]) / ("seed-" + std::to_string(n) + ".xlsx"), std::ios::binary)
            << tessaro::fuzz::workbookBytes(seed);
    }
    return 0;
}
