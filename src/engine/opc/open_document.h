// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

namespace tessaro::xlsx {

class ZipReader;

// OpenDocument cells may say "this cell again, N times" for rows and columns alike, so a file
// of a few hundred bytes can stand for billions of filled cells, which the office then builds
// one by one for as long as it is let. Refuses (PartExpandsTooMuch, naming `displayPath`) an
// archive whose content.xml fills more than `maxFilledCells` once its repeats are counted,
// each sheet taken only as far as an office sheet reaches. Empty cells cost the office
// nothing and are not counted.
void checkOpenDocumentRepeats(const ZipReader& zip, const std::string& displayPath,
                              std::uint64_t maxFilledCells = 100'000'000);

} // namespace tessaro::xlsx
