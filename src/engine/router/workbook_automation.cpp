// SPDX-License-Identifier: MIT
#include "engine/router/workbook_automation.h"

#include "engine/office/file_ops.h"
#include "engine/office/office_automation.h"
#include "engine/office/workbook_format.h"
#include "engine/opc/engine_context.h"
#include "engine/xlsx/native_engine.h"
#include "platform/own_temporaries.h"

#include <fmt/format.h>

#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <variant>
#include <vector>

namespace tessaro {

namespace fs = std::filesystem;
using office::OfficeAutomation;

namespace {

// An exception neither engine turned into an AutomationError is a fault of Tessaro: it is
// reported as one, naming the file and what was being done, rather than passed up as if the
// workbook were to blame or without a file at all.
template <typename F>
auto guarded(const fs::path& file, const char* doing, F&& f) -> decltype(f())
{
    try {
        return f();
    } catch (const AutomationError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw AutomationError(ErrorCode::OutOfMemory, describeError(ErrorCode::OutOfMemory, file.string(), doing));
    } catch (const std::exception& e) {
        throw AutomationError(ErrorCode::InternalFault, describeInternalFault(file.string(), doing, e.what()));
    } catch (...) {
        throw AutomationError(ErrorCode::InternalFault, describeInternalFault(file.string(), doing, nullptr));
    }
}

// A sheet that is larger than the destination's format allows would be cut by the office
// without a word: refuse it for that destination instead, saying which limit it exceeds.
void checkFitsFormat(const SheetExtent& e, WorkbookFormat format, const std::string& sheetName, const fs::path& to)
{
    struct Limits {
        const char* kind;
        std::uint64_t rows, columns, text, formats;
    };
    // LibreOffice's own sheets, which an .ods holds, end at column 1,024 unless it is set up
    // for larger ones.
    const Limits limits = format == WorkbookFormat::Xls ? Limits{"an .xls sheet", 65536, 256, 32767, 4000}
                                                        : Limits{"an .ods sheet", 1048576, 1024, 32767, UINT64_MAX};
    const auto refuse = [&](std::uint64_t has, const char* what, std::uint64_t holds) {
        throw AutomationError(ErrorCode::ExceedsFormatLimits,
                              describeError(ErrorCode::ExceedsFormatLimits, to.string(),
                                            fmt::format("{} has {} {}; {} holds {}", sheetName,
                                                        fmt::group_digits(has), what, limits.kind,
                                                        fmt::group_digits(holds))));
    };
    if (e.rows > limits.rows)
        refuse(e.rows, "rows", limits.rows);
    if (e.columns > limits.columns)
        refuse(e.columns, "columns", limits.columns);
    if (e.longestText > limits.text)
        refuse(e.longestText, "characters in one cell", limits.text);
    if (e.cellFormats > limits.formats)
        refuse(e.cellFormats, "cell formats", limits.formats);
}

// What LibreOffice changes when it copies a sheet into a legacy workbook: references to other
// workbooks come out as #REF! (.xls) or as empty formulas (.ods), references an .xls cannot hold
// as #REF! (a spreadsheet application's own .xls save does the same, with a warning), and a
// data table with a row input cell reads another input cell in an .xls, so such a sheet is
// refused.
void checkCarriedWhole(const SheetExtent& e, WorkbookFormat format, const std::string& sheetName, const fs::path& to)
{
    checkFitsFormat(e, format, sheetName, to);
    const char* kind = format == WorkbookFormat::Xls ? "an .xls" : "an .ods";
    if (e.externalFormulas > 0)
        throw AutomationError(
            ErrorCode::NotAvailableForFormat,
            describeError(ErrorCode::NotAvailableForFormat, to.string(),
                          fmt::format("{} has {} that {} other workbooks (the first in {}), and LibreOffice loses "
                                      "those references when it copies a sheet into {} workbook",
                                      sheetName,
                                      e.externalFormulas == 1 ? std::string("a formula")
                                                              : fmt::format("{} formulas", fmt::group_digits(e.externalFormulas)),
                                      e.externalFormulas == 1 ? "reads" : "read", e.firstExternalFormula, kind)));
    if (format == WorkbookFormat::Xls && e.beyondXlsFormulas > 0)
        throw AutomationError(
            ErrorCode::NotAvailableForFormat,
            describeError(ErrorCode::NotAvailableForFormat, to.string(),
                          fmt::format("{} has {} that {} cells beyond column IV or row 65,536, or whole rows in an "
                                      "array formula (the first in {}), and LibreOffice writes such references into an "
                                      ".xls workbook as #REF!",
                                      sheetName,
                                      e.beyondXlsFormulas == 1 ? std::string("a formula")
                                                               : fmt::format("{} formulas", fmt::group_digits(e.beyondXlsFormulas)),
                                      e.beyondXlsFormulas == 1 ? "reads" : "read", e.firstBeyondXlsFormula)));
    if (format == WorkbookFormat::Xls && e.rowInputTables > 0)
        throw AutomationError(ErrorCode::NotAvailableForFormat,
                              describeError(ErrorCode::NotAvailableForFormat, to.string(),
                                            fmt::format("{} has a data table with a row input cell (at {}), and LibreOffice "
                                                        "writes such a table into an .xls workbook with the wrong input "
                                                        "cell, so that it would show other results",
                                                        sheetName, e.firstRowInputTable)));
}

// What the instances of one factory share: the office, the native engine's factory, and the
// .xlsx conversions of legacy sources, which are deleted when the job ends.
class JobState {
public:
    JobState(fs::path appDir, WorkbookAutomationOptions options)
        : appDir_(std::move(appDir)),
          nativeContext_(std::make_shared<xlsx::EngineContext>(xlsx::EngineOptions{})),
          native_(options.native ? std::move(options.native) : xlsx::nativeAutomationFactory(nativeContext_)),
          office_(options.sharedOffice ? std::move(options.sharedOffice)
                                       : std::make_shared<office::Office>(std::move(options.office)))
    {
    }

    ~JobState()
    {
        office_->stop();
        for (const auto& file : temporary_) {
            std::error_code ec;
            fs::remove(file, ec);
        }
    }

    JobState(const JobState&) = delete;
    JobState& operator=(const JobState&) = delete;

    std::unique_ptr<SpreadsheetAutomation> nativeInstance() const { return native_(); }
    // A file written in the job's place stands for `origin`: links the native engine makes
    // to a source's other sheets name the file the user chose, not the job's copy of it.
    // LibreOffice writes a file's relative links relative to where it writes the file.
    void noteOrigin(const fs::path& file, const fs::path& origin) { nativeContext_->setOrigin(file, origin, true); }
    fs::path originOf(const fs::path& file) const { return nativeContext_->originOf(file); }
    const std::shared_ptr<office::Office>& office() const { return office_; }

    // An .xlsx holding the legacy workbook as it is open in `server`. A workbook unchanged
    // since it was loaded from a file that is unchanged too is converted once per job.
    fs::path xlsxOf(OfficeAutomation& server, WorkbookRef book)
    {
        const fs::path source = server.path(book);
        const auto stamp = server.loadedStamp(book);
        const bool pristine = server.revision(book) == 0 && stamp && identityOfFile(source) == stamp;
        std::lock_guard lock(mutex_);
        if (pristine) {
            for (const auto& c : conversions_)
                if (c.source == source && c.stamp == *stamp)
                    return c.xlsx;
        }
        // A run killed before its end left its conversions here.
        removeLeftoverTemporaries(appDir_);
        const fs::path target =
            appDir_ / fmt::format(".~tessaro-{}-{}.xlsx", source.stem().string(), office::uniqueToken());
        temporary_.push_back(target);
        server.exportXlsx(book, target);
        noteOrigin(target, source);
        if (pristine)
            conversions_.push_back({source, *stamp, target});
        return target;
    }

private:
    struct Conversion {
        fs::path source;
        FileIdentity stamp;
        fs::path xlsx;
    };

    fs::path appDir_;
    std::shared_ptr<xlsx::EngineContext> nativeContext_;
    SpreadsheetAutomationFactory native_;
    std::shared_ptr<office::Office> office_;
    std::mutex mutex_;
    std::vector<Conversion> conversions_;
    std::vector<fs::path> temporary_;
};

class WorkbookAutomation final : public SpreadsheetAutomation {
public:
    explicit WorkbookAutomation(std::shared_ptr<JobState> job) : job_(std::move(job)) {}

    ~WorkbookAutomation() override
    {
        try {
            quit();
        } catch (...) {
        }
    }

    WorkbookRef open(const fs::path& fullPath) override
    {
        Book b;
        b.path = fullPath;
        guarded(fullPath, "opening it", [&] { openWithItsEngine(b); });
        const std::uint32_t id = nextBook_++;
        books_[id] = std::move(b);
        return WorkbookRef{id};
    }

    void setDisplayAlerts(bool on) override
    {
        if (native_)
            native_->setDisplayAlerts(on);
        if (office_)
            office_->setDisplayAlerts(on);
    }

    int worksheetCount(WorkbookRef book) override
    {
        Book& b = at(book);
        return guarded(b.path, "counting its worksheets", [&] { return engine(b).worksheetCount(b.inner); });
    }

    std::string worksheetName(WorkbookRef book, int index) override
    {
        Book& b = at(book);
        return guarded(b.path, "reading a worksheet's name", [&] { return engine(b).worksheetName(b.inner, index); });
    }

    SheetRef worksheet(WorkbookRef book, const std::string& name) override
    {
        Book& b = at(book);
        return remember(book, guarded(b.path, "looking for a worksheet", [&] { return engine(b).worksheet(b.inner, name); }),
                        name);
    }

    int sheetCount(WorkbookRef book) override
    {
        Book& b = at(book);
        return guarded(b.path, "counting its sheets", [&] { return engine(b).sheetCount(b.inner); });
    }

    SheetRef sheet(WorkbookRef book, int index) override
    {
        Book& b = at(book);
        return guarded(b.path, "looking for a sheet", [&] {
            const SheetRef inner = engine(b).sheet(b.inner, index);
            std::optional<std::string> name;
            if (!b.onOffice && native_->sheetCount(b.inner) == native_->worksheetCount(b.inner))
                name = native_->worksheetName(b.inner, index);
            return remember(book, inner, name);
        });
    }

    std::string sheetName(SheetRef ref) override
    {
        Book& b = at(ref.book);
        const Sheet& s = sheetAt(ref);
        return guarded(b.path, "reading a sheet's name", [&] { return engine(b).sheetName(s.inner); });
    }

    void copySheet(SheetRef sheetRef, Placement where, SheetRef anchor) override
    {
        Sheet& source = sheetAt(sheetRef);
        Sheet& target = sheetAt(anchor);
        Book& from = at(sheetRef.book);
        Book& to = at(anchor.book);
        guarded(to.path, "copying a sheet into it", [&] { copyAcross(from, source, where, to, target); });
    }

    Replacement replaceSheet(SheetRef sheetRef, WorkbookRef into) override
    {
        Sheet& source = sheetAt(sheetRef);
        Book& from = at(sheetRef.book);
        Book& to = at(into);
        return guarded(to.path, "replacing a sheet in it", [&] {
            if (to.onOffice)
                throw AutomationError(ErrorCode::NotAvailableForFormat,
                                      describeError(ErrorCode::NotAvailableForFormat, to.path.string(),
                                                    "Replace Same Name is available for .xlsx and .xlsm workbooks"));
            const SheetRef copied = from.onOffice ? convertedSheet(from, source) : source.inner;
            const std::vector<std::string> notes = from.onOffice ? whatTheConversionLost(from, source, copied)
                                                                 : std::vector<std::string>{};
            native_->setSheetLinks(links_);
            const Replacement r = native_->replaceSheet(copied, to.inner);
            ++to.revision;
            notes_.insert(notes_.end(), notes.begin(), notes.end());
            return Replacement{remember(into, r.copy, std::nullopt), r.position, r.replaced};
        });
    }

    void setSheetLinks(SheetLinks links) override
    {
        // Told to each engine as it copies: a job with only .xlsx destinations never needs
        // the office to say what it cannot do.
        links_ = links;
    }

    std::vector<std::string> takeCopyNotes() override
    {
        std::vector<std::string> notes = native_ ? native_->takeCopyNotes() : std::vector<std::string>{};
        if (office_) {
            std::vector<std::string> more = office_->takeCopyNotes();
            notes.insert(notes.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
        }
        notes.insert(notes.end(), std::make_move_iterator(notes_.begin()), std::make_move_iterator(notes_.end()));
        notes_.clear();
        return notes;
    }

    void save(WorkbookRef book) override
    {
        Book& b = at(book);
        guarded(b.path, "saving it", [&] { engine(b).save(b.inner); });
        b.savedRevision = b.revision;
    }

    void checkSavable(WorkbookRef book) override
    {
        Book& b = at(book);
        guarded(b.path, "checking it can be saved", [&] { engine(b).checkSavable(b.inner); });
    }

    void saveAs(WorkbookRef book, const fs::path& fullPath) override
    {
        Book& b = at(book);
        guarded(fullPath, "saving a workbook there", [&] { engine(b).saveAs(b.inner, fullPath); });
        if (b.onOffice)
            job_->noteOrigin(fullPath, b.path);
        b.path = fullPath;
        b.savedRevision = b.revision;
        dropShadow(b);
    }

    void close(WorkbookRef book) override
    {
        Book& b = at(book);
        guarded(b.path, "closing it", [&] {
            dropShadow(b);
            dropConverted(b);
            engine(b).close(b.inner);
        });
        for (auto it = sheets_.begin(); it != sheets_.end();)
            it = it->second.book == book.id ? sheets_.erase(it) : std::next(it);
        books_.erase(book.id);
    }

    void quit() override
    {
        books_.clear();
        sheets_.clear();
        // The native part ends now; the office stays up for the job's next instance.
        if (native_) {
            native_->quit();
            native_.reset();
        }
        if (office_) {
            office_->quit();
            office_.reset();
        }
    }

private:
    struct Book {
        fs::path path;
        WorkbookFormat format = WorkbookFormat::Unknown;
        bool onOffice = false;
        WorkbookRef inner;
        std::uint64_t revision = 0;
        std::uint64_t savedRevision = 0;
        // An OOXML workbook loaded read-only in LibreOffice, to import its sheets from.
        std::optional<WorkbookRef> shadow;
        std::uint64_t shadowRevision = 0;
        // A legacy workbook's .xlsx conversion, open in the native engine.
        std::optional<WorkbookRef> converted;
        std::uint64_t convertedRevision = 0;
    };
    struct Sheet {
        std::uint32_t book = 0;
        SheetRef inner;
        // Known for sheets taken by name, and for sheets by position in a workbook of
        // worksheets only: what finds the sheet again in the other engine.
        std::optional<std::string> name;
        // How far the sheet reaches, once the native engine has checked its workbook.
        std::optional<SheetExtent> extent;
        // The drawing objects LibreOffice reads on a legacy workbook's sheet.
        std::optional<std::uint64_t> officeDrawings;
    };

    // The engine a file's content needs. A zip archive is nearly always an .xlsx: the native
    // engine reads it once and says when it is the binary or the OpenDocument kind, which go
    // to the office. Sorting it out beforehand would read every destination of a job twice.
    void openWithItsEngine(Book& b)
    {
        if (!office::startsAsZip(b.path)) {
            b.format = office::detectWorkbookFormat(b.path);
            // Anything that is not a legacy workbook goes to the native engine, which says
            // what the file is when it cannot open it.
            if (office::isLegacyFormat(b.format)) {
                b.onOffice = true;
                b.inner = officeServer().open(b.path, job_->originOf(b.path));
            } else {
                b.inner = nativeServer().open(b.path);
            }
            return;
        }
        OpenOutcome outcome = nativeServer().tryOpen(b.path);
        if (auto* failure = std::get_if<AutomationError>(&outcome))
            throw *failure;
        if (const auto* opened = std::get_if<WorkbookRef>(&outcome)) {
            b.inner = *opened;
            b.format = WorkbookFormat::Ooxml;
            return;
        }
        b.format = std::get<OtherEngine>(outcome).format;
        b.onOffice = true;
        b.inner = officeServer().open(b.path, job_->originOf(b.path));
    }

    void copyAcross(Book& from, Sheet& source, Placement where, Book& to, const Sheet& target)
    {
        if (!to.onOffice) {
            // An OOXML destination is written by the native engine only.
            const SheetRef copied = from.onOffice ? convertedSheet(from, source) : source.inner;
            const std::vector<std::string> notes = from.onOffice ? whatTheConversionLost(from, source, copied)
                                                                 : std::vector<std::string>{};
            native_->setSheetLinks(links_);
            native_->copySheet(copied, where, target.inner);
            ++to.revision;
            notes_.insert(notes_.end(), notes.begin(), notes.end());
            return;
        }
        if (to.format == WorkbookFormat::Xlsb)
            throw AutomationError(ErrorCode::FormatNotWritable, office::cannotWriteXlsb(to.path));
        if (links_ != SheetLinks::External)
            throw AutomationError(ErrorCode::NotAvailableForFormat,
                                  describeError(ErrorCode::NotAvailableForFormat, to.path.string(),
                                                "references to other sheets can only link to the source workbook "
                                                "in a legacy workbook"));
        // The office reads an OOXML source file itself: it gets it only after the native
        // engine's checks of hostile content passed. Any source must fit the destination's
        // format, and hold nothing the office would change without a word on the way.
        if (!source.extent)
            source.extent = from.onOffice ? nativeServer().inspectSheet(convertedSheet(from, source))
                                          : native_->inspectSheet(source.inner);
        if (source.extent)
            checkCarriedWhole(*source.extent, to.format, source.name.value_or(std::string()), to.path);
        const SheetRef imported = from.onOffice ? source.inner : shadowSheet(from, source);
        office_->copySheet(imported, where, target.inner);
        ++to.revision;
    }

    // A legacy sheet is copied from LibreOffice's .xlsx conversion of it, and LibreOffice does
    // not write everything it reads (form controls, embedded objects, some drawings of .xlsb
    // files): what it left out is missing from the copy, which the report must say.
    std::vector<std::string> whatTheConversionLost(Book& from, Sheet& source, SheetRef converted)
    {
        if (!source.extent)
            source.extent = nativeServer().inspectSheet(converted);
        if (!source.officeDrawings)
            source.officeDrawings = officeServer().drawingObjects(source.inner);
        std::vector<std::string> lost;
        if (auto note = officeServer().asianTextNote(source.inner))
            lost.push_back(std::move(*note));
        if (auto note = officeServer().readAsNothingNote(source.inner))
            lost.push_back(std::move(*note));
        if (!source.extent || *source.officeDrawings <= source.extent->drawingObjects)
            return lost;
        const std::uint64_t missing = *source.officeDrawings - source.extent->drawingObjects;
        lost.push_back(fmt::format("\"{}\": {} of its {} drawing objects (pictures, shapes, form controls or embedded objects) "
                            "{} not copied: LibreOffice, which reads {} for Tessaro, cannot pass {} on",
                            officeServer().sheetName(source.inner), missing, *source.officeDrawings,
                            missing == 1 ? "is" : "are", from.path.filename().string(), missing == 1 ? "it" : "them"));
        return lost;
    }

    SpreadsheetAutomation& nativeServer()
    {
        if (!native_) {
            native_ = job_->nativeInstance();
            if (!native_)
                throw AutomationError(ErrorCode::NoEngine, "No engine for Excel workbooks (.xlsx) is available.");
        }
        return *native_;
    }

    OfficeAutomation& officeServer()
    {
        if (!office_)
            office_ = std::make_unique<OfficeAutomation>(job_->office());
        return *office_;
    }

    SpreadsheetAutomation& engine(const Book& b)
    {
        return b.onOffice ? static_cast<SpreadsheetAutomation&>(officeServer()) : nativeServer();
    }

    Book& at(WorkbookRef ref)
    {
        const auto it = books_.find(ref.id);
        if (it == books_.end())
            throw AutomationError(ErrorCode::WorkbookNotOpen, "A workbook handle that is not open in this instance was used.");
        return it->second;
    }

    Sheet& sheetAt(SheetRef ref)
    {
        const auto it = sheets_.find(ref.id);
        if (it == sheets_.end() || it->second.book != ref.book.id)
            throw AutomationError(ErrorCode::SheetNotOpen, "A sheet handle that is not open in this instance was used.");
        return it->second;
    }

    SheetRef remember(WorkbookRef book, SheetRef inner, std::optional<std::string> name)
    {
        const std::uint32_t id = nextSheet_++;
        sheets_[id] = Sheet{book.id, inner, std::move(name), std::nullopt, std::nullopt};
        return SheetRef{book, id};
    }

    // The sheet of a legacy workbook as the native engine sees it in the workbook's .xlsx
    // conversion, made again only when the workbook changed since.
    SheetRef convertedSheet(Book& from, const Sheet& source)
    {
        OfficeAutomation& server = officeServer();
        const std::uint64_t revision = server.revision(from.inner);
        if (!from.converted || from.convertedRevision != revision) {
            dropConverted(from);
            const fs::path xlsx = job_->xlsxOf(server, from.inner);
            from.converted = nativeServer().open(xlsx);
            from.convertedRevision = revision;
        }
        return native_->worksheet(*from.converted, server.sheetName(source.inner));
    }

    // The sheet of an OOXML workbook as LibreOffice sees it, loaded read-only from the file.
    // The file must hold what the native engine has: a workbook with unsaved copies cannot
    // be a source for LibreOffice.
    SheetRef shadowSheet(Book& from, const Sheet& source)
    {
        if (from.revision != from.savedRevision)
            throw AutomationError(ErrorCode::SourceHasUnsavedCopies,
                                  fmt::format("{}: its sheets cannot be copied into a LibreOffice workbook while it "
                                              "has copies that are not saved yet.",
                                              from.path.string()));
        if (!source.name)
            throw AutomationError(ErrorCode::SheetNeedsName,
                                  fmt::format("{}: this sheet cannot be copied into a workbook that LibreOffice "
                                              "writes; name it by its name instead.",
                                              from.path.string()));
        if (from.shadow && from.shadowRevision != from.revision)
            dropShadow(from);
        if (!from.shadow) {
            from.shadow = officeServer().open(from.path, job_->originOf(from.path));
            from.shadowRevision = from.revision;
        }
        return office_->worksheet(*from.shadow, *source.name);
    }

    void dropShadow(Book& b)
    {
        if (b.shadow && office_)
            office_->close(*b.shadow);
        b.shadow.reset();
    }

    void dropConverted(Book& b)
    {
        if (b.converted && native_)
            native_->close(*b.converted);
        b.converted.reset();
    }

    std::shared_ptr<JobState> job_;
    std::unique_ptr<SpreadsheetAutomation> native_;
    std::unique_ptr<OfficeAutomation> office_;
    std::map<std::uint32_t, Book> books_;
    std::map<std::uint32_t, Sheet> sheets_;
    std::uint32_t nextBook_ = 1;
    SheetLinks links_ = SheetLinks::External;
    std::uint32_t nextSheet_ = 1;
    std::vector<std::string> notes_;
};

} // namespace

SpreadsheetAutomationFactory makeWorkbookAutomationFactory(const fs::path& appDir, WorkbookAutomationOptions options)
{
    auto job = std::make_shared<JobState>(appDir, std::move(options));
    return [job]() -> std::unique_ptr<SpreadsheetAutomation> { return std::make_unique<WorkbookAutomation>(job); };
}

} // namespace tessaro
