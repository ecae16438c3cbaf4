// SPDX-License-Identifier: MIT
// Runs a fuzz target's entry point over the built-in seeds and over the files and folders
// named on the command line (inputs a fuzzer once crashed on, kept as regression tests), as
// an ordinary program: CI replays them in every build, no fuzzer needed.
#include "fuzz_input.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void run(const std::string& bytes)
{
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

} // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::size_t count = 0;
    for (const std::string& seed : tessaro::fuzz::seedWorkbooks()) {
        run(seed);
        run(tessaro::fuzz::workbookBytes(seed));
        count += 2;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path p = argv[i];
        if (fs::is_directory(p)) {
            for (const auto& e : fs::recursive_directory_iterator(p))
                if (e.is_regular_file() && e.path().filename().string().front() != '.' && e.path().extension() != ".md")
                    files.push_back(e.path());
        } else {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", f.c_str());
            return 2;
        }
        std::printf("%s\n", f.c_str());
        std::fflush(stdout);
        run({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
        ++count;
    }
    std::printf("%zu inputs ran without a finding\n", count);
    return 0;
}
