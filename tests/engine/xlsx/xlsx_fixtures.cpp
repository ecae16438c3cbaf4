// SPDX-License-Identifier: MIT
#include "xlsx_fixtures.h"

#include "support/shared_dir.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <array>
#include <cstdio>
#include <stdexcept>

namespace tessaro::xlsx::test {
namespace {

void put16(std::string& s, unsigned v)
{
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string& s, unsigned long v)
{
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string rawDeflate(const std::string& in)
{
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, static_cast<uLong>(in.size())) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

const char* kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const char* kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

} // namespace

void writeZip(const fs::path& file, const Parts& parts, Storage storage)
{
    std::string out, central;
    for (const auto& [name, content] : parts) {
        std::string data = storage == Storage::Deflated ? rawDeflate(content) : content;
        unsigned method = storage == Storage::Deflated ? 8 : 0;
        unsigned long crc = ::crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size()));
        unsigned long offset = out.size();
        std::string h;
        put32(h, 0x04034b50);
        put16(h, 20);
        put16(h, 0);
        put16(h, method);
        put16(h, 0);
        put16(h, 0x21);
        put32(h, crc);
        put32(h, data.size());
        put32(h, content.size());
        put16(h, static_cast<unsigned>(name.size()));
        put16(h, 0);
        out += h + name + data;
        std::string c;
        put32(c, 0x02014b50);
        put16(c, 20);
        put16(c, 20);
        put16(c, 0);
        put16(c, method);
        put16(c, 0);
        put16(c, 0x21);
        put32(c, crc);
        put32(c, data.size());
        put32(c, content.size());
        put16(c, static_cast<unsigned>(name.size()));
        put16(c, 0);
        put16(c, 0);
        put16(c, 0);
        put16(c, 0);
        put32(c, 0);
        put32(c, offset);
        central += c + name;
    }
    std::string end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, static_cast<unsigned>(parts.size()));
    put16(end, static_cast<unsigned>(parts.size()));
    put32(end, central.size());
    put32(end, out.size());
    put16(end, 0);
    tessaro::test::writeFile(file, out + central + end);
}

namespace {
template <typename F>
void eachEntry(const fs::path& file, zip_flags_t flags, F&& f)
{
    int err = 0;
    zip_t* z = zip_open(file.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
    if (!z)
        throw std::runtime_error("libzip cannot open " + file.string() + " (error " + std::to_string(err) + ")");
    zip_int64_t n = zip_get_num_entries(z, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        zip_stat_index(z, static_cast<zip_uint64_t>(i), 0, &st);
        zip_file_t* fh = zip_fopen_index(z, static_cast<zip_uint64_t>(i), flags);
        if (!fh)
            throw std::runtime_error(std::string("libzip cannot read ") + st.name);
        std::string data;
        std::array<char, 65536> buf;
        zip_int64_t got;
        while ((got = zip_fread(fh, buf.data(), buf.size())) > 0)
            data.append(buf.data(), static_cast<std::size_t>(got));
        if (got < 0)
            throw std::runtime_error(std::string("libzip failed reading ") + st.name + ": " +
                                     zip_error_strerror(zip_file_get_error(fh)));
        zip_fclose(fh);
        f(st, std::move(data));
    }
    zip_discard(z);
}
} // namespace

std::map<std::string, std::string> readZip(const fs::path& file)
{
    std::map<std::string, std::string> out;
    eachEntry(file, 0, [&](const zip_stat_t& st, std::string data) { out[st.name] = std::move(data); });
    return out;
}

std::map<std::string, RawEntry> readZipRaw(const fs::path& file)
{
    std::map<std::string, RawEntry> out;
    eachEntry(file, ZIP_FL_COMPRESSED, [&](const zip_stat_t& st, std::string data) {
        out[st.name] = RawEntry{std::move(data), st.comp_method, st.crc};
    });
    return out;
}

std::vector<std::string> officeTheme()
{
    return {"000000", "FFFFFF", "44546A", "E7E6E6", "4472C4", "ED7D31",
            "A5A5A5", "FFC000", "5B9BD5", "70AD47", "0563C1", "954F72"};
}

std::vector<std::string> otherTheme()
{
    return {"202020", "FAFAF0", "112233", "DDDDCC", "AA0000", "00AA00",
            "0000AA", "AAAA00", "AA00AA", "00AAAA", "3344FF", "8822CC"};
}

Parts buildWorkbook(const BookSpec& s)
{
    const std::string p = s.prefix.empty() ? "" : s.prefix + ":";
    const std::string xmlns = s.prefix.empty() ? " xmlns=\"" : " xmlns:" + s.prefix + "=\"";
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
    std::string ct = decl + "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                            "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                            "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                            "<Override PartName=\"/xl/workbook.xml\" ContentType=\"" + s.contentTypeOfWorkbook + "\"/>";
    std::string wbRels = decl + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    std::string sheets;
    Parts parts;
    Parts sheetParts;
    for (std::size_t i = 0; i < s.sheets.size(); ++i) {
        const SheetSpec& sh = s.sheets[i];
        std::string n = std::to_string(i + 1);
        std::string folder = sh.chartsheet ? "chartsheets" : "worksheets";
        std::string part = "xl/" + folder + "/sheet" + n + ".xml";
        ct += "<Override PartName=\"/" + part + "\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml." +
              (sh.chartsheet ? "chartsheet" : "worksheet") + "+xml\"/>";
        wbRels += "<Relationship Id=\"rId" + n + "\" Type=\"" + kRel + "/" + (sh.chartsheet ? "chartsheet" : "worksheet") +
                  "\" Target=\"" + folder + "/sheet" + n + ".xml\"/>";
        sheets += "<" + p + "sheet name=\"" + sh.name + "\" sheetId=\"" + std::to_string(i + 1) + "\"" +
                  (sh.state.empty() ? "" : " state=\"" + sh.state + "\"") + " r:id=\"rId" + n + "\"/>";
        std::string root = sh.chartsheet ? "chartsheet" : "worksheet";
        sheetParts.emplace_back(part, decl + "<" + p + root + xmlns + kMain + "\" xmlns:r=\"" + kRel + "\"" +
                                          sh.rootAttributes + ">" + sh.body + "</" + p + root + ">");
        if (!sh.rels.empty())
            sheetParts.emplace_back("xl/" + folder + "/_rels/sheet" + n + ".xml.rels",
                                    decl + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                                        sh.rels + "</Relationships>");
    }
    std::size_t next = s.sheets.size() + 1;
    auto rel = [&](const std::string& type, const std::string& target) {
        wbRels += "<Relationship Id=\"rId" + std::to_string(next++) + "\" Type=\"" + type + "\" Target=\"" + target + "\"/>";
    };
    if (!s.noStyles) {
        ct += "<Override PartName=\"/xl/styles.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>";
        rel(std::string(kRel) + "/styles", "styles.xml");
        auto count = [](const std::string& xml, const std::string& tag) {
            std::size_t n = 0, pos = 0;
            while ((pos = xml.find("<" + tag, pos)) != std::string::npos) {
                char after = xml[pos + 1 + tag.size()];
                if (after == ' ' || after == '>' || after == '/')
                    ++n;
                pos += tag.size();
            }
            return std::to_string(n);
        };
        auto prefixed = [&](std::string xml) {
            if (p.empty())
                return xml;
            std::string out;
            for (std::size_t i = 0; i < xml.size(); ++i) {
                out.push_back(xml[i]);
                if (xml[i] == '<' && i + 1 < xml.size() && xml[i + 1] != '?' && xml[i + 1] != '!') {
                    if (xml[i + 1] == '/') {
                        out.push_back('/');
                        ++i;
                    }
                    out += p;
                }
            }
            return out;
        };
        std::string styles = decl + "<" + p + "styleSheet" + xmlns + kMain + "\">";
        if (!s.numFmts.empty())
            styles += prefixed("<numFmts count=\"" + count(s.numFmts, "numFmt") + "\">" + s.numFmts + "</numFmts>");
        styles += prefixed("<fonts count=\"" + count(s.fonts, "font") + "\">" + s.fonts + "</fonts>");
        styles += prefixed("<fills count=\"" + count(s.fills, "fill") + "\">" + s.fills + "</fills>");
        styles += prefixed("<borders count=\"" + count(s.borders, "border") + "\">" + s.borders + "</borders>");
        styles += prefixed("<cellStyleXfs count=\"" + count(s.cellStyleXfs, "xf") + "\">" + s.cellStyleXfs + "</cellStyleXfs>");
        styles += prefixed("<cellXfs count=\"" + count(s.cellXfs, "xf") + "\">" + s.cellXfs + "</cellXfs>");
        styles += prefixed("<cellStyles count=\"" + count(s.cellStyles, "cellStyle") + "\">" + s.cellStyles + "</cellStyles>");
        styles += prefixed("<dxfs count=\"" + count(s.dxfs, "dxf") + "\">" + s.dxfs + "</dxfs>");
        styles += prefixed(s.stylesTail) + "</" + p + "styleSheet>";
        parts.emplace_back("xl/styles.xml", styles);
    }
    if (!s.noSharedStrings) {
        ct += "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>";
        rel(std::string(kRel) + "/sharedStrings", "sharedStrings.xml");
        std::string sst = decl + "<" + p + "sst" + xmlns + kMain + "\" count=\"" + std::to_string(s.strings.size()) +
                          "\" uniqueCount=\"" + std::to_string(s.strings.size()) + "\">";
        for (const auto& item : s.strings) {
            std::string inner = item;
            if (!p.empty()) {
                std::string out;
                for (std::size_t i = 0; i < inner.size(); ++i) {
                    out.push_back(inner[i]);
                    if (inner[i] == '<' && i + 1 < inner.size()) {
                        if (inner[i + 1] == '/') {
                            out.push_back('/');
                            ++i;
                        }
                        out += p;
                    }
                }
                inner = out;
            }
            sst += "<" + p + "si>" + inner + "</" + p + "si>";
        }
        sst += "</" + p + "sst>";
        parts.emplace_back("xl/sharedStrings.xml", sst);
    }
    if (!s.theme.empty()) {
        ct += "<Override PartName=\"/xl/theme/theme1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.theme+xml\"/>";
        rel(std::string(kRel) + "/theme", "theme/theme1.xml");
        static const char* slots[] = {"dk1", "lt1", "dk2", "lt2", "accent1", "accent2", "accent3", "accent4",
                                      "accent5", "accent6", "hlink", "folHlink"};
        std::string scheme;
        for (std::size_t i = 0; i < 12; ++i)
            scheme += std::string("<a:") + slots[i] + "><a:srgbClr val=\"" + s.theme[i] + "\"/></a:" + slots[i] + ">";
        parts.emplace_back("xl/theme/theme1.xml",
                           decl + "<a:theme xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" name=\"T\">"
                                  "<a:themeElements><a:clrScheme name=\"T\">" + scheme + "</a:clrScheme>"
                                  "<a:fontScheme name=\"T\"><a:majorFont><a:latin typeface=\"Calibri Light\"/></a:majorFont>"
                                  "<a:minorFont><a:latin typeface=\"" + s.themeMinorFont + "\"/></a:minorFont></a:fontScheme>"
                                  "<a:fmtScheme name=\"T\"/></a:themeElements></a:theme>");
    }
    if (s.calcChain) {
        ct += "<Override PartName=\"/xl/calcChain.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml\"/>";
        rel(std::string(kRel) + "/calcChain", "calcChain.xml");
        parts.emplace_back("xl/calcChain.xml", decl + "<calcChain xmlns=\"" + std::string(kMain) + "\"><c r=\"A1\" i=\"1\"/></calcChain>");
    }
    wbRels += s.workbookRels + "</Relationships>";
    std::string rootRels = decl + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                                  "<Relationship Id=\"rId1\" Type=\"" + std::string(kRel) + "/officeDocument\" Target=\"xl/workbook.xml\"/>";
    if (s.app) {
        ct += "<Override PartName=\"/docProps/app.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>";
        rootRels += "<Relationship Id=\"rId2\" Type=\"" + std::string(kRel) + "/extended-properties\" Target=\"docProps/app.xml\"/>";
        std::string titles;
        std::size_t worksheets = 0, charts = 0;
        for (const auto& sh : s.sheets)
            if (!sh.chartsheet) {
                titles += "<vt:lpstr>" + sh.name + "</vt:lpstr>";
                ++worksheets;
            }
        for (const auto& sh : s.sheets)
            if (sh.chartsheet) {
                titles += "<vt:lpstr>" + sh.name + "</vt:lpstr>";
                ++charts;
            }
        std::string pairs = "<vt:variant><vt:lpstr>Worksheets</vt:lpstr></vt:variant><vt:variant><vt:i4>" +
                            std::to_string(worksheets) + "</vt:i4></vt:variant>";
        std::size_t groups = 1;
        if (charts) {
            pairs += "<vt:variant><vt:lpstr>Charts</vt:lpstr></vt:variant><vt:variant><vt:i4>" + std::to_string(charts) +
                     "</vt:i4></vt:variant>";
            ++groups;
        }
        parts.emplace_back("docProps/app.xml",
                           decl + "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
                                  "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
                                  "<Application>fixture</Application><HeadingPairs><vt:vector size=\"" +
                               std::to_string(groups * 2) + "\" baseType=\"variant\">" + pairs +
                               "</vt:vector></HeadingPairs><TitlesOfParts><vt:vector size=\"" +
                               std::to_string(worksheets + charts) + "\" baseType=\"lpstr\">" + titles +
                               "</vt:vector></TitlesOfParts></Properties>");
    }
    rootRels += "</Relationships>";
    ct += s.extraTypes + "</Types>";
    std::string wb = decl + "<" + p + "workbook" + xmlns + kMain + "\" xmlns:r=\"" + kRel + "\">";
    if (!s.workbookPr.empty())
        wb += "<" + p + "workbookPr " + s.workbookPr + "/>";
    if (!s.bookViews.empty()) {
        std::string views = s.bookViews;
        if (!p.empty()) {
            std::string out;
            for (std::size_t i = 0; i < views.size(); ++i) {
                out.push_back(views[i]);
                if (views[i] == '<')
                    out += p;
            }
            views = out;
        }
        wb += "<" + p + "bookViews>" + views + "</" + p + "bookViews>";
    }
    wb += "<" + p + "sheets>" + sheets + "</" + p + "sheets>";
    if (!s.externalReferences.empty())
        wb += "<" + p + "externalReferences>" + s.externalReferences + "</" + p + "externalReferences>";
    if (!s.definedNames.empty())
        wb += "<" + p + "definedNames>" + s.definedNames + "</" + p + "definedNames>";
    wb += "<" + p + "calcPr calcId=\"191029\"/>" + s.workbookTail + "</" + p + "workbook>";

    Parts all;
    all.emplace_back("[Content_Types].xml", ct);
    all.emplace_back("_rels/.rels", rootRels);
    all.emplace_back("xl/workbook.xml", wb);
    all.emplace_back("xl/_rels/workbook.xml.rels", wbRels);
    for (auto& sp : sheetParts)
        all.push_back(std::move(sp));
    for (auto& part : parts)
        all.push_back(std::move(part));
    for (const auto& e : s.extraParts)
        all.push_back(e);
    return all;
}

void writeWorkbook(const fs::path& file, const BookSpec& spec)
{
    writeZip(file, buildWorkbook(spec));
}

std::string python(const std::string& script, const std::vector<std::string>& args)
{
    tessaro::test::TempDir dir;
    fs::path file = dir / "script.py";
    tessaro::test::writeFile(file, script);
    std::string cmd = std::string(tessaro::test::kSystemPython) + " '" + file.string() + "'";
    for (const auto& a : args)
        cmd += " '" + a + "'";
    cmd += " 2>&1";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run python";
        return {};
    }
    std::string out;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    int rc = ::pclose(pipe);
    if (rc != 0)
        ADD_FAILURE() << "python failed:\n" << out;
    return out;
}

} // namespace tessaro::xlsx::test
