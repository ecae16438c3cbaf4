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

} // namespace

void keepViewSettings(const fs::path& original, const fs::path& written)
{
    pugi::xml_document kept;
    {
        const xlsx::ZipReader from(original, original.string());
        const xlsx::ZipEntry* entry = from.find(kSettings);
        if (!entry)
            return;
        xlsx::loadXml(kept, from.read(*entry, kSettingsLimit), original.string(), kSettings);
    }
    const pugi::xml_node views = namedChild(viewSettings(kept), "config:config-item-map-indexed", "Views");
    if (!views)
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
    set.append_copy(views);
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
