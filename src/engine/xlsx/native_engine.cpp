// SPDX-License-Identifier: MIT
#include "engine/xlsx/native_engine.h"
#include "engine/sml/sheet_extent.h"

#include "engine/opc/engine_context.h"
#include "platform/engine_error.h"
#include "engine/sheet_copy/sheet_copier.h"
#include "engine/sml/sheet_names.h"
#include "engine/sml/workbook.h"
#include "platform/file_identity.h"

#include <map>
#include <mutex>
#include <unordered_map>
#include <new>
#include <optional>
#include <utility>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

// Workbooks closed without unsaved changes, kept by the instances of one factory: a copy job
// opens every destination once per copied sheet, and a workbook whose file is still the one
// it wrote or read needs no second reading. A file changed by anyone since is read afresh.
// Beyond a small allowance only files opened more than once are kept, so a job that opens
// each file once holds little more memory than before; when the shelf is full, the workbooks on it stay and newcomers
// go (a job goes round the same files in the same order, where evicting the oldest would
// evict every one before its turn).
class Shelf {
public:
    void noteOpen(const std::filesystem::path& file)
    {
        std::lock_guard lock(mutex_);
        ++opens_[file.string()];
    }

    void put(std::unique_ptr<Workbook> book)
    {
        book->forgetAllSources();
        std::string key = book->package().path().string();
        const std::uint64_t weight = weightOf(*book);
        std::lock_guard lock(mutex_);
        drop(key);
        const bool openedAgain = opens_[key] >= 2;
        if (books_.size() >= kMostBooks || held_ + weight > (openedAgain ? kMostBytes : kAllowance))
            return;
        held_ += weight;
        books_.emplace(std::move(key), Entry{weight, std::move(book)});
    }

    std::unique_ptr<Workbook> take(const std::filesystem::path& file)
    {
        std::lock_guard lock(mutex_);
        auto it = books_.find(file.string());
        if (it == books_.end())
            return nullptr;
        std::unique_ptr<Workbook> book = std::move(it->second.book);
        held_ -= it->second.weight;
        books_.erase(it);
        const auto now = identityOfFile(file);
        if (!now || now->key() != book->package().fileIdentity())
            return nullptr;
        return book;
    }

private:
    struct Entry {
        std::uint64_t weight;
        std::unique_ptr<Workbook> book;
    };
    static constexpr std::size_t kMostBooks = 512;
    static constexpr std::uint64_t kMostBytes = 96ull << 20;
    static constexpr std::uint64_t kAllowance = 16ull << 20;

    // What a kept workbook holds in memory, roughly: its parsed strings and formats.
    static std::uint64_t weightOf(Workbook& book)
    {
        std::uint64_t w = 64 * 1024 + book.package().rereadBytes();
        for (const auto& part : book.package().partNames())
            if (part.find("sharedStrings") != std::string::npos || part.find("styles") != std::string::npos)
                w += 4 * book.package().partSize(part);
        return w;
    }

    void drop(const std::string& key)
    {
        if (auto it = books_.find(key); it != books_.end()) {
            held_ -= it->second.weight;
            books_.erase(it);
        }
    }

    std::mutex mutex_;
    std::map<std::string, Entry> books_;
    std::unordered_map<std::string, unsigned> opens_;
    std::uint64_t held_ = 0;
};

class NativeAutomation final : public SpreadsheetAutomation {
public:
    NativeAutomation(std::shared_ptr<EngineContext> context, std::shared_ptr<Shelf> shelf)
        : context_(std::move(context)), shelf_(std::move(shelf))
    {
    }
    ~NativeAutomation() override { quit(); }

    WorkbookRef open(const std::filesystem::path& fullPath) override
    {
        shelf_->noteOpen(fullPath);
        if (auto kept = shelf_->take(fullPath)) {
            WorkbookRef ref{nextBook_++};
            books_.emplace(ref.id, std::move(kept));
            return ref;
        }
        return guarded(fullPath.string(), "opening it", [&] { return openBook(fullPath); });
    }

    OpenOutcome tryOpen(const std::filesystem::path& fullPath) override
    {
        try {
            return open(fullPath);
        } catch (const AutomationError& e) {
            if (auto format = readByOtherEngine(e.code()))
                return OtherEngine{*format};
            return e;
        }
    }

    void setDisplayAlerts(bool) override {}

    int worksheetCount(WorkbookRef ref) override
    {
        Workbook& b = book(ref);
        return guarded(b.displayPath(), "counting its worksheets", [&] {
            int n = 0;
            for (const auto& s : b.workbookPart().sheets())
                if (s.kind == SheetKind::Worksheet)
                    ++n;
            return n;
        });
    }

    std::string worksheetName(WorkbookRef ref, int index) override
    {
        Workbook& b = book(ref);
        return guarded(b.displayPath(), "reading a worksheet's name",
                       [&] { return b.workbookPart().sheets()[worksheetAt(b, index)].name; });
    }

    SheetRef worksheet(WorkbookRef ref, const std::string& name) override
    {
        Workbook& b = book(ref);
        return guarded(b.displayPath(), "looking for a worksheet", [&] {
            for (const auto& s : b.workbookPart().sheets())
                if (s.kind == SheetKind::Worksheet && sameSheetName(s.name, name))
                    return SheetRef{ref, s.handle};
            // A chartsheet answers to its name too when no worksheet has it.
            for (const auto& s : b.workbookPart().sheets())
                if (s.kind == SheetKind::Chartsheet && sameSheetName(s.name, name))
                    return SheetRef{ref, s.handle};
            // A sheet that cannot be read is not listed, but asked for by name it says why.
            for (const auto& s : b.workbookPart().sheets())
                if (!s.usable() && sameSheetName(s.name, name))
                    throw EngineError(s.faultCode, b.displayPath(), s.fault);
            throw EngineError(ErrorCode::SheetNotFound, b.displayPath(), fmt::format("\"{}\"", name));
        });
    }

    int sheetCount(WorkbookRef ref) override
    {
        Workbook& b = book(ref);
        return static_cast<int>(b.workbookPart().sheets().size());
    }

    SheetRef sheet(WorkbookRef ref, int index) override
    {
        Workbook& b = book(ref);
        return guarded(b.displayPath(), "looking for a sheet", [&] {
            const auto& sheets = b.workbookPart().sheets();
            if (index < 1 || static_cast<std::size_t>(index) > sheets.size())
                throw EngineError(ErrorCode::SheetIndexOutOfRange, b.displayPath(),
                                  fmt::format("sheet {} of {}", index, sheets.size()));
            return SheetRef{ref, sheets[static_cast<std::size_t>(index - 1)].handle};
        });
    }

    std::string sheetName(SheetRef sheet) override
    {
        Workbook& b = book(sheet.book);
        return guarded(b.displayPath(), "reading a sheet's name", [&] {
            for (const auto& s : b.workbookPart().sheets())
                if (s.handle == sheet.id)
                    return s.name;
            throw EngineError(ErrorCode::SheetIndexOutOfRange, b.displayPath(), "the sheet is no longer in the workbook");
        });
    }

    void copySheet(SheetRef sheet, Placement where, SheetRef anchor) override
    {
        Workbook& src = book(sheet.book);
        Workbook& dst = book(anchor.book);
        guarded(dst.displayPath(), "copying a sheet into it", [&] {
            long at = dst.workbookPart().indexOf(anchor.id);
            if (at < 0)
                throw EngineError(ErrorCode::SheetIndexOutOfRange, dst.displayPath(),
                                  "the sheet to copy next to is no longer in the workbook");
            std::size_t position = static_cast<std::size_t>(at) + (where == Placement::After ? 1 : 0);
            // A note belongs to a copy that was made.
            std::vector<std::string> notes;
            xlsx::copySheet(src, sheet.id, dst, position, SheetCopyOptions{links_, &notes});
            notes_.insert(notes_.end(), std::make_move_iterator(notes.begin()), std::make_move_iterator(notes.end()));
            return 0;
        });
    }

    Replacement replaceSheet(SheetRef sheet, WorkbookRef into) override
    {
        Workbook& src = book(sheet.book);
        Workbook& dst = book(into);
        return guarded(dst.displayPath(), "replacing a sheet in it", [&] {
            std::vector<std::string> notes;
            const SheetReplacement r = xlsx::replaceSheet(src, sheet.id, dst, SheetCopyOptions{links_, &notes});
            notes_.insert(notes_.end(), std::make_move_iterator(notes.begin()), std::make_move_iterator(notes.end()));
            return Replacement{SheetRef{into, r.handle}, static_cast<int>(r.position) + 1, r.replaced};
        });
    }

    void setSheetLinks(SheetLinks links) override { links_ = links; }

    std::vector<std::string> takeCopyNotes() override { return std::exchange(notes_, {}); }

    std::optional<SheetExtent> inspectSheet(SheetRef sheet) override
    {
        Workbook& b = book(sheet.book);
        return guarded(b.displayPath(), "checking it", [&] {
            b.package().vetEveryStoredPart();
            for (const auto& s : b.workbookPart().sheets())
                if (s.handle == sheet.id)
                    return s.kind == SheetKind::Worksheet ? measureWorksheet(b, s.part) : SheetExtent{};
            throw EngineError(ErrorCode::SheetIndexOutOfRange, b.displayPath(), "the sheet is no longer in the workbook");
        });
    }

    void save(WorkbookRef ref) override
    {
        Workbook& b = book(ref);
        guarded(b.displayPath(), "saving it", [&] {
            b.save();
            return 0;
        });
    }

    void checkSavable(WorkbookRef ref) override
    {
        Workbook& b = book(ref);
        guarded(b.displayPath(), "checking it can be saved", [&] {
            if (!b.unfitToSave().empty())
                throw EngineError(ErrorCode::SaveFailed, b.displayPath(), b.unfitToSave());
            b.package().checkCanSave();
            return 0;
        });
    }

    void saveAs(WorkbookRef ref, const std::filesystem::path& fullPath) override
    {
        Workbook& b = book(ref);
        guarded(fullPath.string(), "saving a workbook there", [&] {
            b.saveAs(fullPath, fullPath.string());
            return 0;
        });
    }

    void close(WorkbookRef ref) override
    {
        auto it = books_.find(ref.id);
        if (it == books_.end())
            return;
        std::unique_ptr<Workbook> book = std::move(it->second);
        books_.erase(it);
        for (auto& [id, other] : books_)
            other->forgetSource(book->serial());
        shelve(std::move(book));
    }

    void quit() override
    {
        while (!books_.empty())
            close(WorkbookRef{books_.begin()->first});
    }

private:
    Workbook& book(WorkbookRef ref)
    {
        auto it = books_.find(ref.id);
        if (it == books_.end())
            throw EngineError(ErrorCode::WorkbookNotOpen, fmt::format("workbook #{}", ref.id)).toAutomationError();
        return *it->second;
    }

    static std::size_t worksheetAt(Workbook& b, int index)
    {
        int seen = 0;
        const auto& sheets = b.workbookPart().sheets();
        for (std::size_t i = 0; i < sheets.size(); ++i)
            if (sheets[i].kind == SheetKind::Worksheet && ++seen == index)
                return i;
        throw EngineError(ErrorCode::SheetIndexOutOfRange, b.displayPath(), fmt::format("worksheet {} of {}", index, seen));
    }

    WorkbookRef openBook(const std::filesystem::path& fullPath)
    {
        auto book = std::make_unique<Workbook>(fullPath, fullPath.string(), context_);
        // A name no application accepts would be carried into every copy and every
        // formula that names the sheet.
        for (const auto& s : book->workbookPart().sheets())
            if (auto problem = sheetNameProblem(s.name))
                throw EngineError(ErrorCode::WorkbookInvalid, book->displayPath(), *problem);
        WorkbookRef ref{nextBook_++};
        books_.emplace(ref.id, std::move(book));
        return ref;
    }

    // The workbooks this engine recognises but leaves to LibreOffice.
    static std::optional<WorkbookFormat> readByOtherEngine(ErrorCode code)
    {
        switch (code) {
        case ErrorCode::BinaryWorkbook:
            return WorkbookFormat::Xlsb;
        case ErrorCode::OpenDocument:
            return WorkbookFormat::Ods;
        default:
            return std::nullopt;
        }
    }

    // Every failure leaves as an AutomationError whose text names the file. The engine's
    // own faults come from where they are found; anything else is a fault of Tessaro, and
    // saying so keeps a sound workbook from being blamed for it.
    template <typename F>
    static auto guarded(const std::string& file, const char* doing, F&& f) -> decltype(f())
    {
        try {
            return f();
        } catch (const EngineError& e) {
            throw e.toAutomationError();
        } catch (const AutomationError&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw EngineError(ErrorCode::OutOfMemory, file, doing).toAutomationError();
        } catch (const std::exception& e) {
            throw AutomationError(ErrorCode::InternalFault, describeInternalFault(file, doing, e.what()));
        } catch (...) {
            throw AutomationError(ErrorCode::InternalFault, describeInternalFault(file, doing, nullptr));
        }
    }

    // Unsaved changes are dropped with the workbook, as closing promises.
    void shelve(std::unique_ptr<Workbook> book)
    {
        if (book->modified())
            return;
        try {
            shelf_->put(std::move(book));
        } catch (...) {
            // Keeping it is only a saving of time.
        }
    }

    std::shared_ptr<EngineContext> context_;
    std::shared_ptr<Shelf> shelf_;
    std::map<std::uint32_t, std::unique_ptr<Workbook>> books_;
    std::uint32_t nextBook_ = 1;
    SheetLinks links_ = SheetLinks::External;
    std::vector<std::string> notes_;
};

} // namespace

SpreadsheetAutomationFactory nativeAutomationFactory(std::shared_ptr<EngineContext> context)
{
    return [context, shelf = std::make_shared<Shelf>()] { return std::make_unique<NativeAutomation>(context, shelf); };
}

SpreadsheetAutomationFactory nativeAutomationFactory(const EngineOptions& options)
{
    return nativeAutomationFactory(std::make_shared<EngineContext>(options));
}

SpreadsheetAutomationFactory nativeAutomationFactory()
{
    return nativeAutomationFactory(EngineOptions{});
}

} // namespace tessaro::xlsx
