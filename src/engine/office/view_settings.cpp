// SPDX-License-Identifier: MIT
#include "engine/office/view_settings.h"

#include "engine/office/file_ops.h"

#include "engine/xml/xml_dom.h"
#include "engine/zip/zip_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace tessaro::office {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSettings = "settings.xml";
constexpr std::uint64_t kSettingsLimit = 64u << 20;
// Sheets larger than this keep LibreOffice's view: their panes are not worth the memory.
constexpr std::uint64_t kSheetLimit = 512ull << 20;

pugi::xml_node namedChild(pugi::xml_node parent, const char* element, const char* name)
{
    for (pugi::xml_node child : parent.children(element))
        if (std::strcmp(child.attribute("config:name").value(), name) == 0)
            return child;
    return {};
}

pugi::xml_node viewSettings(pugi::xml_document& doc)
{
    return namedChild(doc.child("office:document-settings").child("office:settings"), "config:config-item-set",
                      "ooo:view-settings");
}

pugi::xml_node item(pugi::xml_node entry, const char* name, const char* type, std::uint32_t value)
{
    pugi::xml_node n = entry.append_child("config:config-item");
    n.append_attribute("config:name") = name;
    n.append_attribute("config:type") = type;
    n.text() = value;
    return n;
}

// A sheet's entry of a view's "Tables", as LibreOffice reads it: split mode 2 is a frozen
// split, whose position counts columns or rows; the active range is the pane that scrolls.
void addSheetView(pugi::xml_node tables, const std::string& sheet, const SheetView& v)
{
    tables.remove_child(namedChild(tables, "config:config-item-map-entry", sheet.c_str()));
    pugi::xml_node entry = tables.append_child("config:config-item-map-entry");
    entry.append_attribute("config:name") = sheet.c_str();
    item(entry, "CursorPositionX", "int", v.firstColumn);
    item(entry, "CursorPositionY", "int", v.firstRow);
    item(entry, "HorizontalSplitMode", "short", v.columns > 0 ? 2 : 0);
    item(entry, "VerticalSplitMode", "short", v.rows > 0 ? 2 : 0);
    item(entry, "HorizontalSplitPosition", "int", v.columns);
    item(entry, "VerticalSplitPosition", "int", v.rows);
    item(entry, "ActiveSplitRange", "short", (v.columns > 0 ? 1 : 0) + (v.rows > 0 ? 2 : 0));
    item(entry, "PositionLeft", "int", 0);
    item(entry, "PositionRight", "int", v.firstColumn);
    item(entry, "PositionTop", "int", 0);
    item(entry, "PositionBottom", "int", v.firstRow);
    item(entry, "ZoomType", "short", 0);
    item(entry, "ZoomValue", "int", v.zoom);
    pugi::xml_node grid = entry.append_child("config:config-item");
    grid.append_attribute("config:name") = "ShowGrid";
    grid.append_attribute("config:type") = "boolean";
    grid.text() = v.gridHidden ? "false" : "true";
}

// Writes the archive again beside `written`, with `changed` entries (by name) in place of
// theirs and every other entry as it was, and puts it in place of `written` once whole.
std::string cellName(std::uint32_t column, std::uint32_t row)
{
    std::string letters;
    for (std::uint32_t c = column + 1; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
    return letters + std::to_string(row + 1);
}

// The start tag `tag` (without its closing bracket) with the attribute set to `value`.
void setAttribute(std::string& tag, const std::string& name, const std::string& value)
{
    const std::string key = " " + name + "=\"";
    if (const std::size_t at = tag.find(key); at != std::string::npos) {
        const std::size_t from = at + key.size();
        tag.replace(from, tag.find('"', from) - from, value);
    } else {
        const std::size_t end = tag.find_first_of(" \t\r\n", 1);
        tag.insert(end == std::string::npos ? tag.size() : end, key + value + "\"");
    }
}

// Puts the view into the sheet's first view element, found by its text: the part may be far too
// large for a document tree, and LibreOffice writes it without prefixes. A view with a pane of
// its own keeps it. Whether the text changed.
bool withSheetView(std::string& xml, const SheetView& v)
{
    std::size_t at = xml.find("<sheetView");
    while (at != std::string::npos &&
           (at + 10 >= xml.size() || std::string_view(" />\t\r\n").find(xml[at + 10]) == std::string_view::npos))
        at = xml.find("<sheetView", at + 1);
    const std::size_t tagEnd = at == std::string::npos ? at : xml.find('>', at);
    if (tagEnd == std::string::npos)
        return false;
    const bool empty = xml[tagEnd - 1] == '/';
    std::string tag = xml.substr(at, tagEnd + 1 - at - (empty ? 2 : 1));
    if (v.gridHidden)
        setAttribute(tag, "showGridLines", "false");
    if (v.zoom != 100 && v.zoom >= 10 && v.zoom <= 400) {
        setAttribute(tag, "zoomScale", std::to_string(v.zoom));
        setAttribute(tag, "zoomScaleNormal", std::to_string(v.zoom));
    }
    std::string pane;
    const std::size_t close = empty ? std::string::npos : xml.find("</sheetView>", tagEnd);
    if (v.frozen() && (empty || (close != std::string::npos && xml.substr(tagEnd, close - tagEnd).find("<pane") == std::string::npos))) {
        pane = "<pane";
        if (v.columns > 0)
            pane += " xSplit=\"" + std::to_string(v.columns) + "\"";
        if (v.rows > 0)
            pane += " ySplit=\"" + std::to_string(v.rows) + "\"";
        pane += " topLeftCell=\"" + cellName(v.firstColumn, v.firstRow) + "\" activePane=\"" +
                (v.columns > 0 && v.rows > 0 ? "bottomRight" : v.rows > 0 ? "bottomLeft" : "topRight") +
                "\" state=\"frozen\"/>";
    }
    xml.replace(at, tagEnd + 1 - at, tag + ">" + pane + (empty ? "</sheetView>" : ""));
    return true;
}

} // namespace

void keepViewSettings(const fs::path& original, const fs::path& written, const std::map<std::string, SheetView>& copies)
{
    pugi::xml_document kept;
    pugi::xml_node views;
    {
        const xlsx::ZipReader from(original, original.string());
        if (const xlsx::ZipEntry* entry = from.find(kSettings)) {
            xlsx::loadXml(kept, from.read(*entry, kSettingsLimit), original.string(), kSettings);
            views = namedChild(viewSettings(kept), "config:config-item-map-indexed", "Views");
        }
    }
    if (!views && copies.empty())
        return;

    const xlsx::ZipReader saved(written, written.string());
    const xlsx::ZipEntry* entry = saved.find(kSettings);
    if (!entry)
        return;
    pugi::xml_document settings;
    xlsx::loadXml(settings, saved.read(*entry, kSettingsLimit), written.string(), kSettings);
    pugi::xml_node set = viewSettings(settings);
    if (!set)
        return;
    set.remove_child(namedChild(set, "config:config-item-map-indexed", "Views"));
    if (views) {
        views = set.append_copy(views);
    } else {
        views = set.append_child("config:config-item-map-indexed");
        views.append_attribute("config:name") = "Views";
    }
    if (!copies.empty()) {
        pugi::xml_node view = views.child("config:config-item-map-entry");
        if (!view) {
            view = views.append_child("config:config-item-map-entry");
            pugi::xml_node id = view.append_child("config:config-item");
            id.append_attribute("config:name") = "ViewId";
            id.append_attribute("config:type") = "string";
            id.text() = "view1";
        }
        pugi::xml_node tables = namedChild(view, "config:config-item-map-named", "Tables");
        if (!tables) {
            tables = view.append_child("config:config-item-map-named");
            tables.append_attribute("config:name") = "Tables";
        }
        for (const auto& [sheet, shown] : copies)
            addSheetView(tables, sheet, shown);
    }
    rewriteArchive(saved, written, {{kSettings, xlsx::saveXml(settings)}});
}

void keepSheetViews(const fs::path& written, const std::map<std::string, SheetView>& views)
{
    if (views.empty())
        return;
    const xlsx::ZipReader saved(written, written.string());
    const auto load = [&](pugi::xml_document& doc, const char* name) {
        const xlsx::ZipEntry* entry = saved.find(name);
        if (!entry)
            return false;
        xlsx::loadXml(doc, saved.read(*entry, kSettingsLimit), written.string(), name);
        return true;
    };
    // LibreOffice writes the workbook and its relationships here, without prefixes.
    pugi::xml_document workbook, rels;
    if (!load(workbook, "xl/workbook.xml") || !load(rels, "xl/_rels/workbook.xml.rels"))
        return;
    std::map<std::string, std::string> changed;
    for (pugi::xml_node sheet : workbook.child("workbook").child("sheets").children("sheet")) {
        const auto view = views.find(sheet.attribute("name").value());
        if (view == views.end())
            continue;
        const pugi::xml_node rel =
            rels.child("Relationships").find_child_by_attribute("Relationship", "Id", sheet.attribute("r:id").value());
        std::string part = rel.attribute("Target").value();
        part = part.rfind('/', 0) == 0 ? part.substr(1) : "xl/" + part;
        const xlsx::ZipEntry* entry = saved.find(part);
        if (!entry || entry->size > kSheetLimit)
            continue;
        std::string xml = saved.read(*entry, kSheetLimit);
        if (withSheetView(xml, view->second))
            changed.emplace(part, std::move(xml));
    }
    if (!changed.empty())
        rewriteArchive(saved, written, changed);
}

} // namespace tessaro::office
