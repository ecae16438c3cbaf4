// SPDX-License-Identifier: MIT
#include "platform/xlsx/native_engine.h"

#include "platform/xlsx/engine_context.h"
#include "platform/xlsx/engine_error.h"
#include "platform/xlsx/sheet_copier.h"
#include "platform/xlsx/sheet_names.h"
#include "platform/xlsx/workbook.h"

#include <map>
#include <new>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

class NativeAutomation final : public SpreadsheetAutomation {
public:
    explicit NativeAutomation(std::shared_ptr<EngineContext> context) : context_(std::move(context)) {}
    ~NativeAutomation() override = default;

    WorkbookRef open(const std::filesystem::path& fullPath) override
    {
        return guarded(fullPath.string(), [&] {
            auto book = std::make_unique<Workbook>(fullPath, fullPath.string(), context_);
            // A name no application accepts would be carried into every copy and every
            // formula that names the sheet.
            for (const auto& s : book->workbookPart().sheets())
                if (auto problem = sheetNameProblem(s.name))
                    throw EngineError(ErrorCode::WorkbookInvalid, book->displayPath(), *problem);
            WorkbookRef ref{nextBook_++};
            books_.emplace(ref.id, std::move(book));
            return ref;
        });
    }

    void setDisplayAlerts(bool) override {}

    int worksheetCount(WorkbookRef ref) override
    {
        Workbook& b = book(ref);
        return guarded(b.displayPath(), [&] {
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
        return guarded(b.displayPath(), [&] { return b.workbookPart().sheets()[worksheetAt(b, index)].name; });
    }

    SheetRef worksheet(WorkbookRef ref, const std::string& name) override
    {
        Workbook& b = book(ref);
        return guarded(b.displayPath(), [&] {
            for (const auto& s : b.workbookPart().sheets())
                if (s.kind == SheetKind::Worksheet && sameSheetName(s.name, name))
                    return SheetRef{ref, s.handle};
            // A chartsheet answers to its name too when no worksheet has it.
            for (const auto& s : b.workbookPart().sheets())
                if (s.kind == SheetKind::Chartsheet && sameSheetName(s.name, name))
                    return SheetRef{ref, s.handle};
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
        return guarded(b.displayPath(), [&] {
            const auto& sheets = b.workbookPart().sheets();
            if (index < 1 || static_cast<std::size_t>(index) > sheets.size())
                throw EngineError(ErrorCode::SheetIndexOutOfRange, b.displayPath(),
                                  fmt::format("sheet {} of {}", index, sheets.size()));
            return SheetRef{ref, sheets[static_cast<std::size_t>(index - 1)].handle};
        });
    }

    void copySheet(SheetRef sheet, Placement where, SheetRef anchor) override
    {
        Workbook& src = book(sheet.book);
        Workbook& dst = book(anchor.book);
        guarded(dst.displayPath(), [&] {
            long at = dst.workbookPart().indexOf(anchor.id);
            if (at < 0)
                throw EngineError(ErrorCode::SheetIndexOutOfRange, dst.displayPath(),
                                  "the sheet to copy next to is no longer in the workbook");
            std::size_t position = static_cast<std::size_t>(at) + (where == Placement::After ? 1 : 0);
            xlsx::copySheet(src, sheet.id, dst, position);
            return 0;
        });
    }

    void save(WorkbookRef ref) override
    {
        Workbook& b = book(ref);
        guarded(b.displayPath(), [&] {
            b.save();
            return 0;
        });
    }

    void saveAs(WorkbookRef ref, const std::filesystem::path& fullPath) override
    {
        Workbook& b = book(ref);
        guarded(fullPath.string(), [&] {
            b.saveAs(fullPath, fullPath.string());
            return 0;
        });
    }

    void close(WorkbookRef ref) override
    {
        auto it = books_.find(ref.id);
        if (it == books_.end())
            return;
        std::uint64_t serial = it->second->serial();
        books_.erase(it);
        for (auto& [id, other] : books_)
            other->forgetSource(serial);
    }

    void quit() override { books_.clear(); }

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

    // Every failure leaves as an AutomationError whose text names the file.
    template <typename F>
    static auto guarded(const std::string& file, F&& f) -> decltype(f())
    {
        try {
            return f();
        } catch (const EngineError& e) {
            throw e.toAutomationError();
        } catch (const AutomationError&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw AutomationError(static_cast<int>(ErrorCode::PartTooLarge),
                                  file + ": there was not enough memory to work on this workbook");
        } catch (const std::exception& e) {
            throw AutomationError(static_cast<int>(ErrorCode::WorkbookInvalid),
                                  fmt::format("{}: the workbook could not be processed ({})", file, e.what()));
        }
    }

    std::shared_ptr<EngineContext> context_;
    std::map<std::uint32_t, std::unique_ptr<Workbook>> books_;
    std::uint32_t nextBook_ = 1;
};

} // namespace

SpreadsheetAutomationFactory nativeAutomationFactory(std::shared_ptr<EngineContext> context)
{
    return [context] { return std::make_unique<NativeAutomation>(context); };
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
