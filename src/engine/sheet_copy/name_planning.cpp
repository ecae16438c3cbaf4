// SPDX-License-Identifier: MIT
// A copy session's workbook names: which ones the copy's formulas use, and which of them
// the destination gets.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/session_helpers.h"

#include <fmt/format.h>

#include <set>

namespace tessaro::xlsx {

using session::fold;

std::optional<std::string> CopySession::name(std::string_view name)
{
    useName(name);
    return std::nullopt;
}

void CopySession::useName(std::string_view name)
{
    if (same_)
        return;
    std::string f = fold(name);
    if (ownNames_.count(f) || !globalNames_.count(f))
        return;
    if (namesSeen_.insert(f).second)
        namesToBring_.push_back(f);
}

std::string CopySession::translated(const std::string& formula)
{
    return translateFormula(formula, *this).value_or(formula);
}

void CopySession::translateAttribute(pugi::xml_attribute a)
{
    if (!a || !*a.value())
        return;
    if (auto t = translateFormula(a.value(), *this))
        a.set_value(t->c_str());
}

void CopySession::translateText(pugi::xml_node n)
{
    std::string text = n.text().get();
    if (text.empty())
        return;
    if (auto t = translateFormula(text, *this))
        n.text().set(t->c_str());
}

// ---------------------------------------------------------------- names

// A name of no definition, which a legacy workbook can hold, makes a spreadsheet application
// repair the workbook it finds it in: the copy's name refers to nothing, as a spreadsheet
// application writes a name whose cells are gone.
std::string CopySession::definitionOf(const DefinedNameEntry& d)
{
    std::string text = translated(d.text);
    if (text.find_first_not_of(" \t\r\n") != std::string::npos)
        return text;
    note(fmt::format("\"{}\": the source gives the name \"{}\" no definition, which a spreadsheet application "
                     "repairs away; in the copy it refers to #REF!",
                     copyName_, d.name));
    return "#REF!";
}

void CopySession::bringNames()
{
    const std::vector<DefinedNameEntry> dstNames = dst_.workbookPart().definedNames();
    std::string srcPrefix = src_.workbookPart().names().prefix();
    // The sheet's own names come with it, each once: a name defined twice for one sheet is a
    // fault a spreadsheet program repairs, and the copy must not take it elsewhere.
    std::set<std::string> own, twice;
    for (const DefinedNameEntry& d : srcNames_)
        if (d.localSheetId == static_cast<long>(srcIndex_)) {
            if (!own.insert(fold(d.name)).second) {
                if (twice.insert(fold(d.name)).second)
                    note(fmt::format("\"{}\": the source defines the name \"{}\" more than once for this sheet; the "
                                     "copy keeps the first definition",
                                     copyName_, d.name));
                continue;
            }
            place_ = fmt::format("the name \"{}\"", d.name);
            names_.push_back(PendingName{d.node, srcPrefix, true, definitionOf(d)});
        }
    // Workbook names its formulas use: the destination's own when it means the same, else
    // the source's, for the copy alone when the destination gives the name another meaning.
    for (std::size_t k = 0; k < namesToBring_.size(); ++k) {
        const DefinedNameEntry& d = srcNames_[globalNames_.at(namesToBring_[k])];
        place_ = fmt::format("the name \"{}\"", d.name);
        std::string text = definitionOf(d);
        std::string f = fold(d.name);
        const DefinedNameEntry* existing = nullptr;
        for (const DefinedNameEntry& x : dstNames)
            if (x.localSheetId == -1 && fold(x.name) == f)
                existing = &x;
        if (existing && fold(existing->text) == fold(text))
            continue;
        if (!existing && dst_.tableNamed(d.name))
            continue;  // a table holds the name there; the copy's formulas read that table
        names_.push_back(PendingName{d.node, srcPrefix, existing != nullptr, std::move(text)});
    }
}

} // namespace tessaro::xlsx
