// SPDX-License-Identifier: MIT
#include "terminal_host.h"

#include <unistd.h>

namespace tessaro::cli {

TerminalHost::TerminalHost(bool quiet, std::FILE* err)
    : err_(err), quiet_(quiet), bar_(!quiet && ::isatty(::fileno(err)) != 0)
{
}

void TerminalHost::clearBar()
{
    if (barShown_) {
        std::fputs("\r\033[K", err_);
        barShown_ = false;
    }
}

void TerminalHost::showMessage(const std::string& text, MessageIcon icon)
{
    if (icon == MessageIcon::Critical)
        ++critical_;
    if (quiet_ && icon == MessageIcon::Information)
        return;
    clearBar();
    std::fprintf(err_, "%s%s\n", icon == MessageIcon::Critical ? "error: " : "", text.c_str());
    std::fflush(err_);
}

void TerminalHost::showReport(const std::string& summary, const std::vector<std::string>& details, MessageIcon icon)
{
    clearBar();
    for (const auto& line : details) {
        const bool note = line.starts_with("Note: ");
        std::fprintf(err_, "%s%s\n", icon == MessageIcon::Critical && !note ? "error: " : "", line.c_str());
    }
    showMessage(summary, icon);
}

void TerminalHost::setProgressMaximum(std::int64_t maximum) { maximum_ = maximum; }

void TerminalHost::setProgressValue(std::int64_t value)
{
    if (!bar_ || maximum_ <= 0)
        return;
    if (value <= 0) {
        clearBar();
        return;
    }
    constexpr int width = 40;
    const int filled = static_cast<int>(value >= maximum_ ? width : value * width / maximum_);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, ' ');
    std::fprintf(err_, "\r[%s] %lld/%lld", bar.c_str(), static_cast<long long>(value),
                 static_cast<long long>(maximum_));
    std::fflush(err_);
    barShown_ = true;
}

} // namespace tessaro::cli
