// SPDX-License-Identifier: MIT
// Carriers of drawings, charts and form controls.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/session_helpers.h"
#include "engine/sml/sheet_names.h"
#include "engine/sml/theme.h"

namespace tessaro::xlsx {

using session::forEachElement;

namespace {

// The colour scheme slot a DrawingML scheme colour names (with the usual mapping of
// text and background to dark and light); -1 for placeholders and unknown names.
int schemeSlot(std::string_view v)
{
    static constexpr std::string_view kSlots[12] = {"dk1", "lt1", "dk2", "lt2", "accent1", "accent2",
                                                    "accent3", "accent4", "accent5", "accent6", "hlink", "folHlink"};
    if (v == "tx1")
        return 0;
    if (v == "bg1")
        return 1;
    if (v == "tx2")
        return 2;
    if (v == "bg2")
        return 3;
    for (int i = 0; i < 12; ++i)
        if (kSlots[i] == v)
            return i;
    return -1;
}



} // namespace

void CopySession::drawingColours(pugi::xml_node root)
{
    if (same_)
        return;
    const ThemeInfo& from = src_.theme();
    const ThemeInfo& to = dst_.theme();
    bool colours = !from.sameColors(to), fonts = !from.sameFonts(to);
    if (!colours && !fonts)
        return;
    forEachElement(root, [&](pugi::xml_node n) {
        std::string_view qn = n.name();
        std::string_view local = localNameOf(n.name());
        if (colours && local == "schemeClr") {
            int slot = schemeSlot(n.attribute("val").value());
            if (slot < 0)
                return;
            std::string prefix(qn.substr(0, qn.size() - local.size()));
            n.set_name((prefix + "srgbClr").c_str());
            n.attribute("val").set_value(from.colors[static_cast<std::size_t>(slot)].c_str());
        } else if (fonts && (local == "latin")) {
            pugi::xml_attribute face = n.attribute("typeface");
            std::string_view v = face.value();
            if (v == "+mn-lt")
                face.set_value(from.minorFont.c_str());
            else if (v == "+mj-lt")
                face.set_value(from.majorFont.c_str());
        }
    });
}

void CopySession::processDrawing(pugi::xml_document& doc)
{
    pugi::xml_node root = doc.document_element();
    drawingColours(root);
    place_ = "a shape";
    forEachElement(root, [&](pugi::xml_node n) {
        if (pugi::xml_attribute link = n.attribute("textlink"))
            translateAttribute(link);
    });
}

namespace {

// Makes a series' reference to cells the data its cache holds, where the chart has a form
// for literal data of that kind; false leaves the reference as it is.
bool literalFromCache(pugi::xml_node ref)
{
    const std::string_view name = ref.name();
    const std::string_view local = localNameOf(ref.name());
    const std::string prefix(name.substr(0, name.size() - local.size()));
    const bool numbers = local == "numRef";
    pugi::xml_node cache = ref.child((prefix + (numbers ? "numCache" : "strCache")).c_str());
    if (!cache)
        return false;
    pugi::xml_node parent = ref.parent();
    if (localNameOf(parent.name()) == "tx") {
        // A series' name is text or a reference; a title's has no literal form at all.
        if (numbers || localNameOf(parent.parent().name()) != "ser")
            return false;
        pugi::xml_node v = parent.insert_child_before((prefix + "v").c_str(), ref);
        v.text().set(cache.child((prefix + "pt").c_str()).child((prefix + "v").c_str()).text().get());
        parent.remove_child(ref);
        return true;
    }
    pugi::xml_node lit = parent.insert_child_before((prefix + (numbers ? "numLit" : "strLit")).c_str(), ref);
    for (pugi::xml_node c = cache.first_child(); c; c = c.next_sibling())
        lit.append_copy(c);
    parent.remove_child(ref);
    return true;
}

} // namespace

void CopySession::processChart(pugi::xml_document& doc)
{
    pugi::xml_node root = doc.document_element();
    drawingColours(root);
    place_ = "a chart";
    const bool values = options_.links == SheetLinks::Values && !same_;
    std::vector<pugi::xml_node> pivotSources;
    std::vector<pugi::xml_node> literal;
    forEachElement(root, [&](pugi::xml_node n) {
        std::string_view local = localNameOf(n.name());
        if (local == "f") {
            std::string_view up = localNameOf(n.parent().name());
            if (values && (up == "numRef" || up == "strRef") && readsOtherSheets(n.text().get()))
                literal.push_back(n);
            else
                translateText(n);
        } else if (local == "pivotSource") {
            pivotSources.push_back(n);
        }
    });
    for (pugi::xml_node f : literal)
        if (!literalFromCache(f.parent()))
            translateText(f);
    // A pivot chart names its pivot table by book and sheet; in another workbook it is a
    // chart of the values it shows.
    for (pugi::xml_node p : pivotSources) {
        if (same_) {
            pugi::xml_node nameNode;
            for (pugi::xml_node c = p.first_child(); c; c = c.next_sibling())
                if (localNameOf(c.name()) == "name")
                    nameNode = c;
            std::string text = nameNode.text().get();
            if (auto renamed = renameSheetInFormula(text, entry_.name, copyName_))
                nameNode.text().set(renamed->c_str());
        } else {
            p.parent().remove_child(p);
        }
    }
}

void CopySession::processControl(pugi::xml_document& doc)
{
    pugi::xml_node root = doc.document_element();
    place_ = "a form control";
    for (const char* a : {"fmlaLink", "fmlaRange", "fmlaGroup", "fmlaTxbx"})
        translateAttribute(root.attribute(a));
}

} // namespace tessaro::xlsx
