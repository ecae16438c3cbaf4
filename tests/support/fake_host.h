// SPDX-License-Identifier: MIT
#pragma once

#include "platform/host.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace tessaro::test {

// A Host that records every call as a line of text, in order, and answers the choosers
// from scripts. Lines look like:
//   message(info): Copy Complete!     message(critical): ...     message(none): ...
//   busy(on)   busy(off)   max(6)   value(3)   status(/data/a.xlsx)
//   chooseFile(Select Excel file)   chooseFolder(...)   open(/x/help.html)
//   report(critical): Copied 2 of 3 sheets; 1 failed.   followed by one line per detail:
//   detail: Copy Data to b.xlsx failure: ...
class FakeHost : public Host {
public:
    void showMessage(const std::string& text, MessageIcon icon) override;
    void showReport(const std::string& summary, const std::vector<std::string>& details, MessageIcon icon) override;
    bool cancelRequested() override { return cancel; }
    void setBusy(bool busy) override;
    void setProgressMaximum(std::int64_t maximum) override;
    void setProgressValue(std::int64_t value) override;
    void setStatusText(const std::string& text) override;
    std::optional<std::string> chooseFile(const std::string& title, const std::string& startFolder) override;
    std::optional<std::string> chooseFolder(const std::string& title, const std::string& startFolder) override;
    // The folder each chooser call opened in, in order.
    std::vector<std::string> chooserStarts;
    bool openWithDesktop(const std::string& target) override;
    // What openWithDesktop answers: whether a program took the target.
    bool desktopOpens = true;

    // Answers for the next chooser calls; an empty optional stands for Cancel. A chooser
    // with no scripted answer cancels.
    std::deque<std::optional<std::string>> fileAnswers;
    std::deque<std::optional<std::string>> folderAnswers;

    std::vector<std::string> calls;

    // What cancelRequested answers; a test sets it to stop a job at a chosen moment.
    bool cancel = false;

    // Only the message and report lines (without their details), in order: every box the
    // user would have seen.
    std::vector<std::string> messages() const;
    // Only the detail lines of the reports, in order.
    std::vector<std::string> details() const;
    // Only the value(...) numbers, in order.
    std::vector<std::int64_t> progressValues() const;
    int busyDepth = 0;
    int busyMax = 0;
    std::int64_t progressMaximum = 0;
    std::int64_t progressValue = 0;
    std::string statusText;
};

} // namespace tessaro::test
