// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

namespace tessaro::office {

struct OfficeOptions {
    // The soffice launcher; empty means LibreOffice's usual place on this system.
    std::filesystem::path soffice;
    // From launching soffice to the first answer on its pipe.
    std::chrono::milliseconds startTimeout = std::chrono::seconds(90);
    // The longest one call (load, copy, store) may take before the office is taken for hung
    // and stopped: big workbooks take seconds, a hung office forever.
    std::chrono::milliseconds callTimeout = std::chrono::minutes(10);
    // Folder for the private profile; empty means the system's temporary folder.
    std::filesystem::path profileParent;
};

// One LibreOffice process, private to this object: started on first need with its own
// profile folder and pipe, restarted on the next need after it died or was stopped, and
// ended (profile removed) by stop() or the destructor. Workbooks live in it through
// OfficeAutomation instances, which share it. Thread-safe; one call at a time.
class Office {
public:
    explicit Office(OfficeOptions options = {});
    ~Office();
    Office(const Office&) = delete;
    Office& operator=(const Office&) = delete;

    // Ends the process if one runs (asking it first, then killing its process group) and
    // removes the profile folder. Never throws.
    void stop() noexcept;

    // What a test or a diagnostic may look at: whether a process runs, its process group,
    // its profile folder, how many processes were started, how long the last start took.
    bool running() const;
    std::optional<int> processGroup() const;
    std::optional<std::filesystem::path> profileDir() const;
    int starts() const;
    std::chrono::milliseconds lastStartDuration() const;

    // The soffice launcher this object starts.
    std::filesystem::path sofficePath() const;

    // Whether this build can drive LibreOffice at all.
    static bool supported();

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace tessaro::office
