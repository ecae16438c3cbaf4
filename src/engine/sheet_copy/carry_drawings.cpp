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
    forEachElement(root, [&](pugi::xml_node n) {
        if (pugi::xml_attribute link = n.attribute("textlink"))
            translateAttribute(link);
    });
}

void CopySession::processChart(pugi::xml_document& doc)
{
    pugi::xml_node root = doc.document_element();
    drawingColours(root);
    std::vector<pugi::xml_node> pivotSources;
    forEachElement(root, [&](pugi::xml_node n) {
        std::string_view local = localNameOf(n.name());
        if (local == "f")
            translateText(n);
        else if (local == "pivotSource")
            pivotSources.push_back(n);
    });
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
    for (const char* a : {"fmlaLink", "fmlaRange", "fmlaGroup", "fmlaTxbx"})
        translateAttribute(root.attribute(a));
}

} // namespace tessaro::xlsx
