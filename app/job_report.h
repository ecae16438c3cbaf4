// SPDX-License-Identifier: MIT
#pragma once

#include "copy/copy_record.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace tessaro::cli {

// The --report file: one JSON object a line for every copy tried, each written whole and
// flushed to the file as soon as its destination is done with, so the file of a run that is
// killed halfway still reads line by line; the totals follow as the last line. A trial run
// also prints each copy on `out`.
class JobReport final : public CopyJournal {
public:
    // An empty path keeps no file. Throws std::system_error when the file cannot be made.
    JobReport(const std::string& path, std::FILE* out);
    ~JobReport() override;
    JobReport(const JobReport&) = delete;
    JobReport& operator=(const JobReport&) = delete;

    void record(const CopyRecord& copy) override;
    // The last line; `exitStatus` is what the run exits with.
    void finish(int exitStatus, bool cancelled);
    // False once a line could not be written; the run must then not claim success.
    bool intact() const { return intact_; }
    const std::string& path() const { return path_; }
    // Why the report is not intact.
    const std::string& failure() const { return failure_; }

private:
    void writeLine(const std::string& json);

    std::string path_;
    int fd_ = -1;
    std::FILE* out_;
    bool intact_ = true;
    std::string failure_;
    std::int64_t copied_ = 0;
    std::int64_t failed_ = 0;
    std::int64_t wouldCopy_ = 0;
    std::int64_t wouldFail_ = 0;
    double seconds_ = 0;
};

// Text as a JSON string, quotes included. Bytes that are not UTF-8 become U+FFFD.
std::string jsonString(const std::string& text);

} // namespace tessaro::cli
