// SPDX-License-Identifier: MIT
#include "job_report.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

#include <fmt/format.h>

namespace tessaro::cli {

namespace {

// The length of the UTF-8 sequence that starts at text[i], or 0 when none does.
std::size_t utf8Length(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and what lies beyond Unicode are not text.
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

std::string jsonString(const std::string& text)
{
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8Length(text, i);
        if (n == 0) {
            json += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c == '\n') {
            json += "\\n";
        } else if (c == '\t') {
            json += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            json += fmt::format("\\u{:04x}", c);
        } else {
            json.append(text, i, n);
        }
        i += n;
    }
    return json + "\"";
}

JobReport::JobReport(const std::string& path, std::FILE* out) : path_(path), out_(out)
{
    if (path_.empty())
        return;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(), path_);
}

JobReport::~JobReport()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void JobReport::writeLine(const std::string& json)
{
    if (fd_ < 0 || !intact_)
        return;
    // One write for the whole line: a run killed at any moment leaves whole lines only, but
    // for the one being written.
    const std::string line = json + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            intact_ = false;
            failure_ = n < 0 ? std::strerror(errno) : "nothing more could be written";
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void JobReport::record(const CopyRecord& copy)
{
    switch (copy.result) {
    case CopyResult::Copied:
        ++copied_;
        break;
    case CopyResult::Failed:
        ++failed_;
        break;
    case CopyResult::WouldCopy:
        ++wouldCopy_;
        break;
    case CopyResult::WouldFail:
        ++wouldFail_;
        break;
    }
    seconds_ += copy.seconds;
    if (copy.result == CopyResult::WouldCopy && out_)
        std::fprintf(out_, "%s: would get \"%s\" as sheet %d (%s of %s)\n", copy.destination.c_str(),
                     copy.copyName.c_str(), copy.position, copy.sheet.c_str(), copy.source.c_str());
    std::string notes = "[";
    for (const std::string& note : copy.notes)
        notes += (notes.size() > 1 ? "," : "") + jsonString(note);
    notes += "]";
    writeLine(fmt::format("{{\"destination\":{},\"source\":{},\"sheet\":{},\"copy_name\":{},\"position\":{},"
                          "\"result\":{},\"replaced\":{},\"error_code\":{},\"error\":{},\"notes\":{},"
                          "\"seconds\":{:.3f}}}",
                          jsonString(copy.destination), jsonString(copy.source), jsonString(copy.sheet),
                          jsonString(copy.copyName), copy.position, jsonString(copyResultName(copy.result)),
                          copy.replaced ? "true" : "false", copy.errorCode, jsonString(copy.error), notes,
                          copy.seconds));
}

void JobReport::finish(int exitStatus, bool cancelled)
{
    writeLine(fmt::format("{{\"totals\":{{\"copied\":{},\"failed\":{},\"would_copy\":{},\"would_fail\":{},"
                          "\"cancelled\":{},\"seconds\":{:.3f},\"exit_status\":{}}}}}",
                          copied_, failed_, wouldCopy_, wouldFail_, cancelled ? "true" : "false", seconds_,
                          exitStatus));
}

} // namespace tessaro::cli
