// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

// Splits the bytes of one of the program's own text files into lines. A line ends at CR LF
// or at a lone CR, and the terminator is not part of it; a lone LF is an ordinary character
// of the line; the last line may lack its terminator and is still a line.
std::vector<std::string> splitLines(std::string_view bytes);

// The lines of a file, or nothing when it cannot be opened or read.
std::optional<std::vector<std::string>> readLines(const std::filesystem::path& file);

// Rewrites a file with each line followed by CR LF, through an AtomicReplacement: the old
// file stays intact when anything fails. Throws std::system_error naming the file.
void writeLinesAtomically(const std::filesystem::path& file, const std::vector<std::string>& lines);

} // namespace tessaro
