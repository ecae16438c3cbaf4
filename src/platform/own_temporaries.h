// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>

namespace tessaro {

// Every temporary file or folder Tessaro makes carries the id of the process that made it,
// so that what a killed run left behind can be told from what a running one is using:
//   ".<name>.tessaro-<pid>-<random>"   a new file being written beside the one it replaces
//   ".tessaro-job-<pid>-<random>"      a copy job's own folder inside the program's folder
//   ".~tessaro-<stem>-<pid>-<n>-<hex>.xlsx"  a legacy source converted for a job, beside it

// A name for a new temporary file beside `target`, with `random` as its unique part; the
// target's own name is shortened (at a character boundary) when the whole would exceed
// the file system's limit for one name, so that any valid target has a valid temporary.
std::string temporaryNameFor(const std::filesystem::path& target, const std::string& random);

// Removes from `folder` the temporary files and job folders of ours whose process has
// ended. Only names of the forms above are touched, and only when their process id names
// no running process; anything else, and anything still in use, stays. Each folder is
// looked through once per process: a leftover can only come from a run before this one.
void removeLeftoverTemporaries(const std::filesystem::path& folder) noexcept;

// A copy job's own folder inside the program's folder: made exclusively when first asked
// for, and removed with everything in it when the job ends. Nothing a job keeps for
// itself lies outside it, so two jobs at once never share a file.
class JobFolder {
public:
    explicit JobFolder(std::filesystem::path appDir);
    ~JobFolder();
    JobFolder(const JobFolder&) = delete;
    JobFolder& operator=(const JobFolder&) = delete;

    // Creates the folder on the first call; throws std::system_error naming the folder
    // when it cannot be made.
    const std::filesystem::path& path();

private:
    std::filesystem::path appDir_;
    std::filesystem::path path_;
};

} // namespace tessaro
