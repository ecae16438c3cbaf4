// SPDX-License-Identifier: MIT
#include "engine/office/ods_settings.h"

#include "engine/xml/xml_dom.h"
#include "engine/zip/compression.h"
#include "engine/zip/output_file.h"
#include "engine/zip/zip_reader.h"
#include "engine/zip/zip_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tessaro::office {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSettings = "settings.xml";
constexpr std::uint64_t kSettingsLimit = 64u << 20;

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
void addFrozenPane(pugi::xml_node tables, const std::string& sheet, const FrozenPane& p)
{
    tables.remove_child(namedChild(tables, "config:config-item-map-entry", sheet.c_str()));
    pugi::xml_node entry = tables.append_child("config:config-item-map-entry");
    entry.append_attribute("config:name") = sheet.c_str();
    item(entry, "CursorPositionX", "int", p.firstColumn);
    item(entry, "CursorPositionY", "int", p.firstRow);
    item(entry, "HorizontalSplitMode", "short", p.columns > 0 ? 2 : 0);
    item(entry, "VerticalSplitMode", "short", p.rows > 0 ? 2 : 0);
    item(entry, "HorizontalSplitPosition", "int", p.columns);
    item(entry, "VerticalSplitPosition", "int", p.rows);
    item(entry, "ActiveSplitRange", "short", (p.columns > 0 ? 1 : 0) + (p.rows > 0 ? 2 : 0));
    item(entry, "PositionLeft", "int", 0);
    item(entry, "PositionRight", "int", p.firstColumn);
    item(entry, "PositionTop", "int", 0);
    item(entry, "PositionBottom", "int", p.firstRow);
}

} // namespace

void keepViewSettings(const fs::path& original, const fs::path& written, const std::map<std::string, FrozenPane>& copies)
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
        for (const auto& [sheet, pane] : copies)
            addFrozenPane(tables, sheet, pane);
    }
    xlsx::PartCompressor compressor(6);
    compressor.feed(xlsx::saveXml(settings));
    const xlsx::StoredPart part = compressor.finish();

    const fs::path next = written.string() + ".views";
    const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "write " + next.string());
    bool open = true;
    try {
        xlsx::DescriptorOutputFile out(fd);
        xlsx::ZipWriter zip(out);
        for (const xlsx::ZipEntry& e : saved.entries()) {
            if (e.name == kSettings)
                zip.add(e.name, part);
            else
                zip.addRaw(saved, e);
        }
        zip.finish();
        out.sync();
        open = false;
        if (::close(fd) != 0)
            throw std::system_error(errno, std::generic_category(), "write " + next.string());
        fs::rename(next, written);
    } catch (...) {
        if (open)
            ::close(fd);
        std::error_code ec;
        fs::remove(next, ec);
        throw;
    }
}

} // namespace tessaro::office
