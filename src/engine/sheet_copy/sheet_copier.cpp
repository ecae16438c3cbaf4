// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/sheet_copier.h"

#include "engine/sheet_copy/copy_session.h"
#include "platform/copy_naming.h"
#include "platform/engine_error.h"
#include "engine/sml/sheet_names.h"
#include "engine/sheet_copy/sheet_rewriter.h"
#include "engine/sml/workbook.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

// Bumped whenever the rewrite changes what it writes, so cached sheets are never mixed
// across versions.
constexpr std::string_view kRewriteVersion = "sheet-rewrite-2";

// Reads a big part ahead on a thread of its own, so that inflating it and rewriting it share
// the work between two cores instead of taking turns on one. The inner reader is used by
// that thread alone; its failures surface in the reader's next read.
class ReadAheadReader final : public PartReader {
public:
    explicit ReadAheadReader(std::unique_ptr<PartReader> inner)
        : inner_(std::move(inner)), thread_([this] { produce(); })
    {
    }

    ~ReadAheadReader() override
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    std::size_t read(char* out, std::size_t capacity) override
    {
        while (pos_ == current_.size()) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !ready_.empty() || ended_; });
            if (ready_.empty()) {
                if (failure_)
                    std::rethrow_exception(failure_);
                return 0;
            }
            current_ = std::move(ready_.front());
            ready_.pop_front();
            pos_ = 0;
            lock.unlock();
            changed_.notify_all();
        }
        const std::size_t n = std::min(capacity, current_.size() - pos_);
        std::memcpy(out, current_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    static constexpr std::size_t kChunk = 1u << 20;
    static constexpr std::size_t kAhead = 4;

    void produce()
    {
        try {
            for (;;) {
                std::vector<char> chunk(kChunk);
                std::size_t filled = 0;
                while (filled < kChunk) {
                    const std::size_t n = inner_->read(chunk.data() + filled, kChunk - filled);
                    if (n == 0)
                        break;
                    filled += n;
                }
                chunk.resize(filled);
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return ready_.size() < kAhead || stopping_; });
                if (stopping_)
                    return;
                if (filled == 0) {
                    ended_ = true;
                    break;
                }
                ready_.push_back(std::move(chunk));
                lock.unlock();
                changed_.notify_all();
            }
        } catch (...) {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
            ended_ = true;
        }
        changed_.notify_all();
    }

    std::unique_ptr<PartReader> inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<char>> ready_;
    std::vector<char> current_;
    std::size_t pos_ = 0;
    bool ended_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: starts once everything it uses exists
};

// Parts below this are read in one go faster than a thread starts.
constexpr std::uint64_t kReadAheadFrom = 8ull << 20;

struct Prepared {
    SheetRewritePlan plan;
    std::string profileKey;
    // What the session settled in prepare() that reaches the rewritten bytes.
    std::string shapeSignature;
    std::string metadataSignature;
    SheetLinks links = SheetLinks::External;
};

// The copy's answers to everything a profile says a rewrite of the sheet would ask.
struct ProfileAnswers {
    std::vector<std::size_t> cellFormats;
    std::vector<std::size_t> strings;
    std::vector<std::size_t> differentialFormats;
    std::vector<std::optional<std::string>> formulas;
};

// Asks the copy's rules and remembers each distinct question, so that a later copy of the
// same sheet can ask them again without reading the sheet.
class RecordingRules final : public FormulaRules {
public:
    RecordingRules(FormulaRules& inner, std::vector<FormulaCall>& calls) : inner_(inner), calls_(calls) {}

    std::optional<std::string> prefix(const PrefixedReference& ref) override
    {
        std::string key = fmt::format("p{}\x1f{}\x1f{}\x1f{}\x1f{}", ref.book ? "1" : "0", ref.book.value_or(""),
                                      ref.first, ref.last, ref.target);
        if (seen_.insert(std::move(key)).second) {
            FormulaCall c;
            c.kind = FormulaCall::Kind::Prefix;
            c.ref = ref;
            c.place = place_;
            calls_.push_back(std::move(c));
        }
        return inner_.prefix(ref);
    }

    std::optional<std::string> table(std::string_view name, std::string_view spec) override
    {
        if (seen_.insert(fmt::format("t{}\x1f{}", name, spec)).second) {
            FormulaCall c;
            c.kind = FormulaCall::Kind::Table;
            c.name = name;
            c.spec = spec;
            c.place = place_;
            calls_.push_back(std::move(c));
        }
        return inner_.table(name, spec);
    }

    std::optional<std::string> name(std::string_view name) override
    {
        if (seen_.insert(fmt::format("n{}", name)).second) {
            FormulaCall c;
            c.kind = FormulaCall::Kind::Name;
            c.name = name;
            c.place = place_;
            calls_.push_back(std::move(c));
        }
        return inner_.name(name);
    }

    void at(std::string_view place) override
    {
        place_ = place;
        inner_.at(place);
    }

private:
    FormulaRules& inner_;
    std::string place_;
    std::vector<FormulaCall>& calls_;
    std::unordered_set<std::string> seen_;
};

// Asks the plan and the copy's rules what a rewrite of the sheet would ask, in the order it
// would. Asking is what settles the copy's needs in the destination (formats, strings, the
// links and names its formulas use) when a cached rewrite stands in for the rewrite; asking
// again changes nothing.
ProfileAnswers answerProfile(const Prepared& p, const SheetProfile& profile, FormulaRules& rules)
{
    ProfileAnswers a;
    for (auto i : profile.cellFormats)
        a.cellFormats.push_back(p.plan.cellFormat(i));
    for (auto i : profile.strings)
        a.strings.push_back(p.plan.string(i));
    for (auto i : profile.differentialFormats)
        a.differentialFormats.push_back(p.plan.differentialFormat(i));
    for (const FormulaCall& c : profile.formulaCalls) {
        rules.at(c.place);
        switch (c.kind) {
        case FormulaCall::Kind::Prefix:
            a.formulas.push_back(rules.prefix(c.ref));
            break;
        case FormulaCall::Kind::Table:
            a.formulas.push_back(rules.table(c.name, c.spec));
            break;
        case FormulaCall::Kind::Name:
            a.formulas.push_back(rules.name(c.name));
            break;
        }
    }
    return a;
}

// Two copies whose keys match write the same sheet part: the key holds everything the
// rewrite reads besides the sheet itself.
Fingerprint rewriteKey(const Prepared& p, const SheetProfile& profile, const ProfileAnswers& answers)
{
    Fingerprinter f;
    f.add(kRewriteVersion).add(p.profileKey);
    f.add(static_cast<std::uint64_t>(p.links));
    // Names reach the bytes only through formulas and links that name sheets.
    if (profile.formulasNameSheets)
        f.add(p.plan.sourceName).add(p.plan.copyName);
    f.add(p.plan.colors.signature()).add(static_cast<std::uint64_t>(p.plan.destinationWindows));
    for (const auto& id : p.plan.keptRelationships)
        f.add(id);
    f.add(static_cast<std::uint64_t>(p.plan.keepCellMetadata));
    f.add(static_cast<std::uint64_t>(p.plan.selected));
    f.add(static_cast<std::uint64_t>(p.plan.dateShift + 100000));
    f.add(static_cast<std::uint64_t>(p.plan.conformance));
    f.add(p.shapeSignature);
    f.add(p.metadataSignature);
    auto addMapped = [&f](const std::vector<std::uint32_t>& from, const std::vector<std::size_t>& to, bool mix) {
        f.add(static_cast<std::uint64_t>(from.size()));
        for (std::size_t k = 0; k < from.size(); ++k) {
            const std::uint64_t high = static_cast<std::uint64_t>(from[k]) << 32;
            f.add(mix ? high ^ to[k] : high | to[k]);
        }
    };
    addMapped(profile.cellFormats, answers.cellFormats, false);
    addMapped(profile.strings, answers.strings, true);
    addMapped(profile.differentialFormats, answers.differentialFormats, false);
    f.add(static_cast<std::uint64_t>(answers.formulas.size()));
    for (const auto& answer : answers.formulas)
        f.add(answer ? *answer : std::string("\x01"));
    return f.result();
}

// The rewrite's plan for this copy: how the sheet's formats, strings, names, colours, ids
// and dates map into the destination. Filled in place: the string map holds on to the
// plan's colours.
void planRewrite(Prepared& p, Workbook& source, const SheetEntry& entry, Workbook& destination,
                 const std::string& name, CopySession& session)
{
    const bool same = &source == &destination;
    p.profileKey = source.package().partIdentity(entry.part);
    p.shapeSignature = session.shapeSignature();
    p.metadataSignature = session.metadataSignature();
    p.plan.sourceName = entry.name;
    p.plan.copyName = name;
    p.plan.destinationWindows = destination.workbookPart().windowCount();
    p.plan.conformance = destination.package().conformance();
    p.plan.keepCellMetadata = same;
    p.plan.keptRelationships = session.carriedRelationships();
    p.plan.everyFormula = session.formulasMayUseNames();
    // Which formulas the rewrite asks about decides which questions a profile holds.
    if (p.plan.everyFormula)
        p.profileKey += "|every-formula";
    // Formulas that give way to values ask nothing, and leave cells a profile lists.
    p.links = session.links();
    if (p.links == SheetLinks::Values && !same) {
        p.plan.valueInstead = [&session](std::string_view formula) { return session.readsOtherSheets(formula); };
        p.profileKey += "|values";
    }
    p.plan.dateShift = session.dateShift();
    if (p.plan.dateShift != 0)
        p.plan.dateFormats = source.styles().dateFormats();
    if (session.movesShapes())
        p.plan.shapeId = [&session](std::size_t id) { return session.shapeId(id); };
    if (!same)
        p.plan.cellMetadata = [&session](std::size_t cm) { return session.cellMetadata(cm); };
    Stylesheet& srcStyles = source.styles();
    p.plan.sourceCellFormats = srcStyles.cellFormatCount();
    p.plan.sourceDifferentialFormats = srcStyles.differentialFormatCount();
    SharedStrings& srcStrings = source.sharedStrings();
    p.plan.sourceStrings = srcStrings.size();
    if (same) {
        p.plan.cellFormat = [](std::size_t i) { return i; };
        p.plan.string = [](std::size_t i) { return i; };
        p.plan.differentialFormat = [](std::size_t i) { return i; };
        return;
    }
    StyleMerger& merger = destination.mergerFrom(source);
    SharedStrings& dstStrings = destination.sharedStrings();
    p.plan.colors =
        ColorTranslator(source.theme(), destination.theme(), srcStyles.palette(), destination.styles().palette());
    p.plan.cellFormat = [&merger](std::size_t i) { return merger.cellFormat(i); };
    p.plan.differentialFormat = [&merger](std::size_t i) { return merger.differentialFormat(i); };
    p.plan.string = [&srcStrings, &dstStrings, colors = &p.plan.colors](std::size_t i) {
        return dstStrings.intern(translateItemFormatting(srcStrings.canonicalItem(i), *colors));
    };
}

// Rewrites the sheet under `p`, learning its profile into `learnt`.
StoredPart rewrite(Workbook& source, const SheetEntry& entry, Prepared& p, CopySession& session,
                   SheetProfile& learnt)
{
    RecordingRules recorder(session, learnt.formulaCalls);
    p.plan.formulas = &recorder;
    auto reader = source.package().openPartToReread(entry.part);
    if (source.package().partSize(entry.part) >= kReadAheadFrom)
        reader = std::make_unique<ReadAheadReader>(std::move(reader));
    StoredPart stored = rewriteSheet(*reader, source.package().partSize(entry.part), p.plan, &learnt,
                                     source.displayPath(), entry.part.substr(1));
    p.plan.formulas = nullptr;
    return stored;
}

// The sheet part of the copy: a rewrite an earlier copy made under the same key, or a new
// one. Either way the copy's needs in the destination are settled when this returns, and
// `profile` is the sheet's.
StoredPart rewriteOrReuse(Workbook& source, const SheetEntry& entry, Workbook& destination, Prepared& p,
                          CopySession& session, std::shared_ptr<const SheetProfile>& profile)
{
    EngineContext& ctx = destination.context();
    profile = ctx.findProfile(p.profileKey);
    Fingerprint key;
    if (profile) {
        const ProfileAnswers answers = answerProfile(p, *profile, session);
        key = rewriteKey(p, *profile, answers);
        if (std::optional<StoredPart> reused = ctx.findRewrite(key))
            return *reused;
    }
    auto learnt = std::make_shared<SheetProfile>();
    StoredPart stored = rewrite(source, entry, p, session, *learnt);
    ctx.countRewrite();
    if (!profile) {
        profile = learnt;
        ctx.keepProfile(p.profileKey, profile);
        const ProfileAnswers answers = answerProfile(p, *profile, session);
        key = rewriteKey(p, *profile, answers);
    }
    ctx.keepRewrite(key, stored);
    return stored;
}

} // namespace

void checkCopyable(Workbook& source, const SheetEntry& entry)
{
    if (!entry.usable())
        throw EngineError(entry.faultCode, source.displayPath(), entry.fault);
    if (entry.kind != SheetKind::Worksheet && entry.kind != SheetKind::Chartsheet)
        throw EngineError(ErrorCode::SheetKindNotCopyable, source.displayPath(), fmt::format("\"{}\"", entry.name));
}

std::uint32_t copySheetAs(Workbook& source, std::uint32_t handle, Workbook& destination, std::size_t position,
                          const std::string& name, bool selected, const SheetCopyOptions& options)
{
    long srcIndex = source.workbookPart().indexOf(handle);
    if (srcIndex < 0)
        throw EngineError(ErrorCode::SheetIndexOutOfRange, source.displayPath(), "the sheet is no longer there");
    const SheetEntry entry = source.workbookPart().sheets()[static_cast<std::size_t>(srcIndex)];
    checkCopyable(source, entry);
    if (!destination.workbookPart().canTakeAnotherSheet())
        throw EngineError(ErrorCode::TooManySheets, destination.displayPath());

    auto marks = destination.marks();
    try {
        CopySession session(source, entry, static_cast<std::size_t>(srcIndex), destination, name, position, options);
        session.prepare();

        Prepared p;
        planRewrite(p, source, entry, destination, name, session);
        p.plan.selected = selected;
        std::shared_ptr<const SheetProfile> profile;
        StoredPart stored = rewriteOrReuse(source, entry, destination, p, session, profile);

        session.noteEmptiedCells(profile->emptiedCells);
        session.noteDatesKept(profile->datesKept, profile->firstDateKept);
        session.noteUndefinedFormats(profile->undefinedFormats, profile->firstUndefinedFormat);
        session.carryParts();
        session.bringNames();
        session.finishLinks();
        return session.commit(std::move(stored), profile->stringCells, profile->cellMetadata);
    } catch (...) {
        destination.rollback(marks);
        throw;
    }
}

std::uint32_t copySheet(Workbook& source, std::uint32_t handle, Workbook& destination, std::size_t position,
                        const SheetCopyOptions& options)
{
    const long srcIndex = source.workbookPart().indexOf(handle);
    if (srcIndex < 0)
        throw EngineError(ErrorCode::SheetIndexOutOfRange, source.displayPath(), "the sheet is no longer there");
    if (!destination.unfitToSave().empty())
        throw EngineError(ErrorCode::SaveFailed, destination.displayPath(), destination.unfitToSave());
    const std::string& sourceName = source.workbookPart().sheets()[static_cast<std::size_t>(srcIndex)].name;
    // Folded once, so that finding a free "Name (k)" among many copies stays linear.
    std::unordered_set<std::string> taken;
    for (const auto& s : destination.workbookPart().sheets())
        taken.insert(foldSheetName(s.name));
    const std::string name =
        copyName(sourceName, [&](std::string_view candidate) { return taken.contains(foldSheetName(candidate)); });
    return copySheetAs(source, handle, destination, position, name, false, options);
}

} // namespace tessaro::xlsx
