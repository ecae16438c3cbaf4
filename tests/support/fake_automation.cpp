// SPDX-License-Identifier: MIT
#include "support/fake_automation.h"

#include "support/temp_dir.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

namespace tessaro::test {

namespace {

struct Sheet {
    std::uint32_t id;
    std::string name;
    bool chart;
};

struct Book {
    std::filesystem::path path;
    std::vector<Sheet> sheets;
};

std::string lowered(std::string s)
{
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class FakeServer final : public SpreadsheetAutomation {
public:
    explicit FakeServer(FakeWorld& world) : world_(world) { ++world_.instances; }
    ~FakeServer() override { world_.openNow -= static_cast<int>(books_.size()); }

    WorkbookRef open(const std::filesystem::path& path) override
    {
        world_.log.push_back("open " + path.string());
        if (world_.failOpen.count(path.string()))
            throw AutomationError(ErrorCode::FileUnreadable, path.string() + ": cannot be opened (injected)");
        std::vector<std::string> names;
        try {
            names = readFakeBook(path);
        } catch (const std::exception& e) {
            throw AutomationError(ErrorCode::WorkbookInvalid, path.string() + ": " + e.what());
        }
        Book book{path, {}};
        for (const auto& n : names) {
            const bool chart = n.rfind("c:", 0) == 0;
            book.sheets.push_back({nextSheet_++, chart ? n.substr(2) : n, chart});
        }
        const std::uint32_t id = nextBook_++;
        books_[id] = std::move(book);
        ++world_.openNow;
        return WorkbookRef{id};
    }

    void setDisplayAlerts(bool) override {}

    int worksheetCount(WorkbookRef b) override
    {
        const auto& s = book(b).sheets;
        return static_cast<int>(std::count_if(s.begin(), s.end(), [](const Sheet& x) { return !x.chart; }));
    }

    std::string worksheetName(WorkbookRef b, int index) override
    {
        int i = 0;
        for (const auto& s : book(b).sheets)
            if (!s.chart && ++i == index)
                return s.name;
        throw AutomationError(ErrorCode::SheetIndexOutOfRange, "worksheet index out of range");
    }

    SheetRef worksheet(WorkbookRef b, const std::string& name) override
    {
        for (const auto& s : book(b).sheets)
            if (!s.chart && lowered(s.name) == lowered(name))
                return SheetRef{b, s.id};
        throw AutomationError(ErrorCode::SheetNotFound, book(b).path.string() + ": it has no worksheet named \"" + name + "\"");
    }

    int sheetCount(WorkbookRef b) override { return static_cast<int>(book(b).sheets.size()); }

    SheetRef sheet(WorkbookRef b, int index) override
    {
        auto& s = book(b).sheets;
        if (index < 1 || index > static_cast<int>(s.size()))
            throw AutomationError(ErrorCode::SheetIndexOutOfRange, "sheet index out of range");
        return SheetRef{b, s[static_cast<std::size_t>(index - 1)].id};
    }

    std::string sheetName(SheetRef sheet) override { return find(sheet).name; }

    void copySheet(SheetRef sheet, Placement where, SheetRef anchor) override
    {
        if (world_.onCopy)
            world_.onCopy();
        const Sheet original = find(sheet);
        auto& target = book(anchor.book).sheets;
        auto it = std::find_if(target.begin(), target.end(), [&](const Sheet& s) { return s.id == anchor.id; });
        if (it == target.end())
            throw AutomationError(ErrorCode::SheetNotOpen, "no such sheet");
        std::string name = original.name;
        for (int k = 2; taken(target, name); ++k)
            name = original.name + " (" + std::to_string(k) + ")";
        if (where == Placement::After)
            ++it;
        target.insert(it, Sheet{nextSheet_++, name, original.chart});
    }

    void save(WorkbookRef b) override { write(b, book(b).path, "save " + book(b).path.string()); }

    void checkSavable(WorkbookRef b) override
    {
        const std::string path = book(b).path.string();
        if (world_.failSave.count(path))
            throw AutomationError(ErrorCode::SaveFailed, path + ": cannot be saved (injected)");
    }

    void saveAs(WorkbookRef b, const std::filesystem::path& path) override
    {
        write(b, path, "saveAs " + book(b).path.string() + " -> " + path.string());
        book(b).path = path;
    }

    void close(WorkbookRef b) override
    {
        world_.log.push_back("close " + book(b).path.string());
        books_.erase(b.id);
        --world_.openNow;
    }

    void quit() override
    {
        world_.log.push_back("quit");
        ++world_.quits;
        world_.openNow -= static_cast<int>(books_.size());
        books_.clear();
    }

private:
    Book& book(WorkbookRef b)
    {
        auto it = books_.find(b.id);
        if (it == books_.end())
            throw AutomationError(ErrorCode::WorkbookNotOpen, "that workbook is not open");
        return it->second;
    }

    Sheet find(SheetRef ref)
    {
        for (const auto& s : book(ref.book).sheets)
            if (s.id == ref.id)
                return s;
        throw AutomationError(ErrorCode::SheetNotOpen, "no such sheet");
    }

    static bool taken(const std::vector<Sheet>& sheets, const std::string& name)
    {
        return std::any_of(sheets.begin(), sheets.end(),
                           [&](const Sheet& s) { return lowered(s.name) == lowered(name); });
    }

    void write(WorkbookRef b, const std::filesystem::path& path, const std::string& entry)
    {
        world_.log.push_back(entry);
        if (world_.failSave.count(path.string()))
            throw AutomationError(ErrorCode::SaveFailed, path.string() + ": cannot be saved (injected)");
        std::vector<std::string> names;
        for (const auto& s : book(b).sheets)
            names.push_back(s.chart ? "c:" + s.name : s.name);
        // As the real engines do: a new file renamed over the old one.
        std::error_code ec;
        std::filesystem::path real = std::filesystem::canonical(path, ec);
        if (ec)
            real = path;
        const std::filesystem::path fresh = real.string() + ".fake-save";
        writeFakeBook(fresh, names);
        std::filesystem::rename(fresh, real);
    }

    FakeWorld& world_;
    std::map<std::uint32_t, Book> books_;
    std::uint32_t nextBook_ = 1;
    std::uint32_t nextSheet_ = 1;
};

} // namespace

SpreadsheetAutomationFactory FakeWorld::factory()
{
    return [this] { return std::make_unique<FakeServer>(*this); };
}

void writeFakeBook(const std::filesystem::path& file, const std::vector<std::string>& sheets)
{
    std::string text = "FAKEBOOK\n";
    for (const auto& s : sheets)
        text += (s.rfind("c:", 0) == 0 ? s : "w:" + s) + "\n";
    writeFile(file, text);
}

std::vector<std::string> readFakeBook(const std::filesystem::path& file)
{
    std::istringstream in(readFile(file));
    std::string line;
    if (!std::getline(in, line) || line != "FAKEBOOK")
        throw std::runtime_error("not a workbook");
    std::vector<std::string> names;
    while (std::getline(in, line))
        names.push_back(line.rfind("w:", 0) == 0 ? line.substr(2) : line);
    return names;
}

} // namespace tessaro::test
