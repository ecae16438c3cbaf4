// SPDX-License-Identifier: MIT
#pragma once

#include "platform/host.h"

#include <cstdio>

namespace tessaro::cli {

// The Host of tessaro-cli: messages go to stderr, critical ones marked "error:"; progress
// is a bar on stderr when stderr is a terminal. There are no choosers and no desktop.
class TerminalHost : public Host {
public:
    explicit TerminalHost(bool quiet, std::FILE* err = stderr);

    void showMessage(const std::string& text, MessageIcon icon) override;
    // The summary line, then each detail on a line of its own; failures count as critical.
    void showReport(const std::string& summary, const std::vector<std::string>& details, MessageIcon icon) override;
    void setBusy(bool) override {}
    void setProgressMaximum(std::int64_t maximum) override;
    void setProgressValue(std::int64_t value) override;
    void setStatusText(const std::string&) override {}
    std::optional<std::string> chooseFile(const std::string&, const std::string&) override { return std::nullopt; }
    std::optional<std::string> chooseFolder(const std::string&, const std::string&) override { return std::nullopt; }
    bool openWithDesktop(const std::string&) override { return false; }

    int criticalMessages() const { return critical_; }

private:
    void clearBar();

    std::FILE* err_;
    bool quiet_;
    bool bar_;
    bool barShown_ = false;
    std::int64_t maximum_ = 0;
    int critical_ = 0;
};

} // namespace tessaro::cli
