// SPDX-License-Identifier: MIT
#include "office_fixtures.h"

#include "support/shared_dir.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaro::test {

namespace fs = std::filesystem;

namespace {

const fs::path kScript = fs::path(TESSARO_SOURCE_DIR) / "tests" / "support" / "office_books.py";

std::string quoted(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

std::string runCapturing(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = ::pclose(pipe);
    if (status != 0)
        throw std::runtime_error("failed (status " + std::to_string(status) + "): " + command);
    return out;
}

} // namespace

fs::path officeFixtures()
{
    const fs::path dir = buildDir() / "tests" / "platform" / "office" / "fixtures";
    fs::create_directories(dir);
    // Tests run in parallel: the first one makes the fixtures, the others wait for it.
    const int lock = ::open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
        throw std::runtime_error("cannot lock " + dir.string());
    try {
        // Made again whenever the script that makes them changes.
        std::ifstream script(kScript, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(script)), std::istreambuf_iterator<char>());
        const std::string stamp = std::to_string(std::hash<std::string>{}(text)) + "\n";
        std::ifstream ready(dir / ".ready");
        const std::string made((std::istreambuf_iterator<char>(ready)), std::istreambuf_iterator<char>());
        if (made != stamp) {
            runCapturing(std::string(kSystemPython) + " " + quoted(kScript.string()) + " make " +
                         quoted(dir.string()) + " 2>&1");
            std::ofstream(dir / ".ready") << stamp;
        }
    } catch (...) {
        ::close(lock);
        throw;
    }
    ::close(lock);
    return dir;
}

fs::path copyFixture(const std::string& name, const fs::path& dir, std::string as)
{
    const fs::path target = dir / (as.empty() ? name : as);
    fs::copy_file(officeFixtures() / name, target, fs::copy_options::overwrite_existing);
    return target;
}

std::map<fs::path, BookView> readBooks(const std::vector<fs::path>& files)
{
    std::string command = std::string(kSystemPython) + " " + quoted(kScript.string()) + " read";
    for (const auto& f : files)
        command += " " + quoted(f.string());
    std::istringstream lines(runCapturing(command));
    std::map<fs::path, BookView> books;
    BookView* book = nullptr;
    SheetView* sheet = nullptr;
    std::string line;
    while (std::getline(lines, line)) {
        const auto space = line.find(' ');
        const std::string kind = line.substr(0, space);
        const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (kind == "file") {
            book = &books[rest];
            sheet = nullptr;
        } else if (kind == "sheet" && book) {
            book->sheets.push_back(rest);
            sheet = &book->sheet[rest];
        } else if (sheet) {
            const auto gap = rest.find(' ');
            const std::string ref = rest.substr(0, gap);
            const std::string value = gap == std::string::npos ? std::string() : rest.substr(gap + 1);
            if (kind == "cell")
                sheet->cells[ref] = value;
            else if (kind == "bold")
                sheet->bold.insert(ref);
            else if (kind == "format")
                sheet->formats[ref] = value;
            else if (kind == "font")
                sheet->fonts[ref] = value;
        }
    }
    for (const auto& f : files)
        if (!books.count(f))
            throw std::runtime_error("the reader said nothing about " + f.string());
    return books;
}

SheetView withMicrosoftFontNames(SheetView view)
{
    static const std::pair<std::string, std::string> twins[] = {
        {"Liberation Sans ", "Arial "}, {"Liberation Serif ", "Times New Roman "}, {"Liberation Mono ", "Courier New "}};
    for (auto& [ref, font] : view.fonts)
        for (const auto& [from, to] : twins)
            if (font.rfind(from, 0) == 0)
                font = to + font.substr(from.size());
    return view;
}

void PrintTo(const SheetView& view, std::ostream* out)
{
    *out << "{";
    for (const auto& [ref, value] : view.cells) {
        *out << " " << ref << "=" << value;
        if (view.bold.count(ref))
            *out << " bold";
        if (const auto f = view.fonts.find(ref); f != view.fonts.end())
            *out << " [" << f->second << "]";
        if (const auto f = view.formats.find(ref); f != view.formats.end())
            *out << " (" << f->second << ")";
        *out << ";";
    }
    *out << " }";
}

BookView readBook(const fs::path& file) { return readBooks({file}).at(file); }

std::vector<int> processesMentioning(const std::string& text)
{
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string args, statLine;
        try {
            std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
            args.assign(std::istreambuf_iterator<char>(cmdline), std::istreambuf_iterator<char>());
            if (args.find(text) == std::string::npos)
                continue;
            std::ifstream stat(entry.path() / "stat");
            std::getline(stat, statLine);
        } catch (const std::ios_base::failure&) {
            continue;  // it ended while being read (the read fails with ESRCH)
        }
        const auto close = statLine.rfind(')');
        // A zombie has ended; only its parent (or init) can still reap it.
        if (close != std::string::npos && close + 2 < statLine.size() && statLine[close + 2] == 'Z')
            continue;
        found.push_back(std::stoi(name));
    }
    return found;
}

} // namespace tessaro::test
