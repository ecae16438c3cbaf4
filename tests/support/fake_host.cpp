// SPDX-License-Identifier: MIT
#include "support/fake_host.h"

namespace tessaro::test {

namespace {
const char* iconName(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Information:
        return "info";
    case MessageIcon::Critical:
        return "critical";
    case MessageIcon::None:
        break;
    }
    return "none";
}
} // namespace

void FakeHost::showMessage(const std::string& text, MessageIcon icon)
{
    calls.push_back(std::string("message(") + iconName(icon) + "): " + text);
}

void FakeHost::showReport(const std::string& summary, const std::vector<std::string>& details, MessageIcon icon)
{
    calls.push_back(std::string("report(") + iconName(icon) + "): " + summary);
    for (const auto& line : details)
        calls.push_back("detail: " + line);
}

void FakeHost::setBusy(bool busy)
{
    busyDepth += busy ? 1 : -1;
    if (busyDepth > busyMax)
        busyMax = busyDepth;
    calls.push_back(busy ? "busy(on)" : "busy(off)");
}

void FakeHost::setProgressMaximum(std::int64_t maximum)
{
    progressMaximum = maximum;
    calls.push_back("max(" + std::to_string(maximum) + ")");
}

void FakeHost::setProgressValue(std::int64_t value)
{
    progressValue = value;
    calls.push_back("value(" + std::to_string(value) + ")");
}

void FakeHost::setStatusText(const std::string& text)
{
    statusText = text;
    calls.push_back("status(" + text + ")");
}

std::optional<std::string> FakeHost::chooseFile(const std::string& title, const std::string& startFolder)
{
    calls.push_back("chooseFile(" + title + ")");
    chooserStarts.push_back(startFolder);
    if (fileAnswers.empty())
        return std::nullopt;
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

std::optional<std::string> FakeHost::chooseFolder(const std::string& title, const std::string& startFolder)
{
    calls.push_back("chooseFolder(" + title + ")");
    chooserStarts.push_back(startFolder);
    if (folderAnswers.empty())
        return std::nullopt;
    auto answer = folderAnswers.front();
    folderAnswers.pop_front();
    return answer;
}

bool FakeHost::openWithDesktop(const std::string& target)
{
    calls.push_back("open(" + target + ")");
    return desktopOpens;
}

std::vector<std::string> FakeHost::messages() const
{
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (c.rfind("message(", 0) == 0 || c.rfind("report(", 0) == 0)
            out.push_back(c);
    return out;
}

std::vector<std::string> FakeHost::details() const
{
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (c.rfind("detail: ", 0) == 0)
            out.push_back(c.substr(8));
    return out;
}

std::vector<std::int64_t> FakeHost::progressValues() const
{
    std::vector<std::int64_t> out;
    for (const auto& c : calls)
        if (c.rfind("value(", 0) == 0)
            out.push_back(std::stoll(c.substr(6, c.size() - 7)));
    return out;
}

} // namespace tessaro::test
