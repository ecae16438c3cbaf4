// SPDX-License-Identifier: MIT
#include "engine/office/vba_project.h"

#include "engine/office/biff_stream.h"

#include <fmt/format.h>
#include <gsf/gsf.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

namespace tessaro {
namespace {

constexpr std::uint16_t kObjProj = 0x00D3;
constexpr std::uint16_t kCodeName = 0x01BA;
constexpr std::uint16_t kTabId = 0x013D;
constexpr std::uint16_t kWindow1 = 0x003D;
constexpr std::uint16_t kWindow2 = 0x023E;
constexpr std::uint16_t kPane = 0x0041;
constexpr std::uint16_t kSelection = 0x001D;
constexpr std::uint16_t kPlv = 0x088B;
constexpr std::uint16_t kScl = 0x00A0;

// What a sheet substream may still hold after its code name: web publishing, cell watches,
// sheet extensions and shared features.
const std::set<std::uint16_t> kAfterCodeName = {0x0801, 0x086C, 0x0862, 0x0867, 0x0868, 0x0871, 0x0872};

} // namespace

namespace biff {

std::uint32_t u16(std::string_view s, std::size_t at)
{
    return static_cast<std::uint8_t>(s[at]) | static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 1])) << 8;
}

std::uint32_t u32(std::string_view s, std::size_t at) { return u16(s, at) | u16(s, at + 2) << 16; }

void put16(std::string& s, std::size_t at, std::uint32_t v)
{
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& s, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string le16(std::uint32_t v)
{
    std::string s(2, '\0');
    put16(s, 0, v);
    return s;
}

namespace {

std::vector<Record> recordsOf(std::string_view s)
{
    std::vector<Record> out;
    std::size_t p = 0;
    while (p + 4 <= s.size()) {
        const Record r{static_cast<std::uint16_t>(u16(s, p)), p, u16(s, p + 2)};
        if (r.end() > s.size())
            throw VbaProjectError("its Workbook stream ends inside a record");
        out.push_back(r);
        p = r.end();
    }
    if (out.empty() || out.front().type != kBof)
        throw VbaProjectError("its Workbook stream does not begin as a BIFF8 workbook");
    return out;
}

} // namespace

// A BOUNDSHEET8 record's sheet name: a short unicode string after the 6-byte position and state.
std::u16string sheetNameOf(std::string_view s, const Record& r)
{
    if (r.size < 8)
        throw VbaProjectError("a sheet entry of its Workbook stream is cut");
    const std::size_t body = r.offset + 4;
    const std::size_t count = static_cast<std::uint8_t>(s[body + 6]);
    const bool wide = (static_cast<std::uint8_t>(s[body + 7]) & 1) != 0;
    if (8 + count * (wide ? 2 : 1) > r.size)
        throw VbaProjectError("a sheet name of its Workbook stream is cut");
    std::u16string name;
    for (std::size_t i = 0; i < count; ++i)
        name.push_back(static_cast<char16_t>(wide ? u16(s, body + 8 + 2 * i) : static_cast<std::uint8_t>(s[body + 8 + i])));
    return name;
}

std::optional<std::u16string> readableSheetName(std::string_view s, const Layout& l, const Layout::Sheet& sheet)
{
    try {
        return sheetNameOf(s, l.records[sheet.entry]);
    } catch (const VbaProjectError&) {
        return std::nullopt;
    }
}

Layout layoutOf(std::string_view s)
{
    Layout l;
    l.records = recordsOf(s);
    const auto& rs = l.records;
    std::unordered_map<std::size_t, std::size_t> at;
    for (std::size_t i = 0; i < rs.size(); ++i)
        at.emplace(rs[i].offset, i);
    // Substreams nest (a chart inside a sheet): each BOF opens one, each EOF closes one.
    const auto endOf = [&](std::size_t bof) {
        int depth = 0;
        for (std::size_t i = bof; i < rs.size(); ++i) {
            if (rs[i].type == kBof)
                ++depth;
            else if (rs[i].type == kEof && --depth == 0)
                return i;
        }
        throw VbaProjectError("a part of its Workbook stream has no end");
    };
    l.globalsEnd = endOf(0);
    for (std::size_t i = 1; i < l.globalsEnd; ++i) {
        if (rs[i].type != kBoundSheet)
            continue;
        if (rs[i].size < 4)
            throw VbaProjectError("a sheet entry of its Workbook stream is cut");
        const auto it = at.find(u32(s, rs[i].offset + 4));
        if (it == at.end() || rs[it->second].type != kBof)
            throw VbaProjectError("a sheet entry of its Workbook stream points at no sheet");
        l.sheets.push_back({i, it->second, endOf(it->second)});
    }
    return l;
}

std::vector<std::size_t> ownRecords(const Layout& l, const Layout::Sheet& sheet, std::uint16_t type)
{
    std::vector<std::size_t> found;
    int depth = 0;
    for (std::size_t i = sheet.bof; i <= sheet.eof; ++i) {
        const auto t = l.records[i].type;
        if (t == kBof)
            ++depth;
        else if (t == kEof)
            --depth;
        else if (t == type && depth == 1)
            found.push_back(i);
    }
    return found;
}

std::string withEdits(std::string_view saved, const Layout& l, Edits edits, const char* what,
                      const std::function<void(const Record&, std::string&, std::size_t)>& edit)
{
    const auto& rs = l.records;
    auto& inserts = edits.inserts;
    std::stable_sort(inserts.begin(), inserts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    // What each edit moves the bytes after it by, from where: an insert moves its own
    // position, a replaced record what follows it.
    std::vector<std::pair<std::size_t, std::int64_t>> shifts;
    for (const auto& [first, bytes] : inserts)
        shifts.emplace_back(first, static_cast<std::int64_t>(bytes.size()));
    for (const auto& [index, bytes] : edits.replaced)
        shifts.emplace_back(rs[index].end(),
                            static_cast<std::int64_t>(bytes.size()) - static_cast<std::int64_t>(4 + rs[index].size));
    std::stable_sort(shifts.begin(), shifts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::int64_t> sums(shifts.size() + 1, 0);
    for (std::size_t i = 0; i < shifts.size(); ++i)
        sums[i + 1] = sums[i] + shifts[i].second;
    // A position in the saved stream, in the new one.
    const auto moved = [&](std::uint64_t old) {
        const auto upTo = std::upper_bound(shifts.begin(), shifts.end(), old,
                                           [](std::uint64_t p, const auto& s) { return p < s.first; });
        const std::int64_t now = static_cast<std::int64_t>(old) + sums[static_cast<std::size_t>(upTo - shifts.begin())];
        if (now < 0 || now > 0xFFFFFFFF)
            throw VbaProjectError("its Workbook stream would grow beyond what BIFF8 can address");
        return static_cast<std::uint32_t>(now);
    };
    std::unordered_map<std::size_t, std::size_t> at;
    for (std::size_t i = 0; i < rs.size(); ++i)
        at.emplace(rs[i].offset, i);

    std::string out;
    out.reserve(saved.size() + 64 * (inserts.size() + 1));
    std::size_t next = 0;
    for (std::size_t i = 0; i < rs.size(); ++i) {
        const Record& r = rs[i];
        for (; next < inserts.size() && inserts[next].first <= r.offset; ++next)
            out += inserts[next].second;
        if (const auto it = edits.replaced.find(i); it != edits.replaced.end()) {
            out += it->second;
            continue;
        }
        const std::size_t start = out.size();
        out.append(saved.substr(r.offset, 4 + r.size));
        const std::size_t body = start + 4;
        if (r.type == kBoundSheet) {
            put32(out, body, moved(u32(out, body)));
        } else if (r.type == kIndex && r.size >= 16) {
            // Where the column defaults are, then where each row block's DBCELL is.
            if (const std::uint32_t ibXF = u32(out, body + 12); ibXF != 0)
                put32(out, body + 12, moved(ibXF));
            for (std::size_t k = body + 16; k + 4 <= body + r.size; k += 4)
                put32(out, k, moved(u32(out, k)));
        } else if (r.type == kExtSst && r.size >= 2) {
            for (std::size_t k = body + 2; k + 8 <= body + r.size; k += 8)
                put32(out, k, moved(u32(out, k)));
        } else if (r.type == kDbCell && r.size >= 4 && u32(out, body) != 0 && u32(out, body) <= r.offset) {
            // Distances back to the block's first ROW, then from the end of that ROW to its
            // row's first cell, and from each row's first cell to the next one's.
            const std::size_t firstRow = r.offset - u32(out, body);
            const auto row = at.find(firstRow);
            if (row != at.end() && rs[row->second].type == kRow) {
                const std::uint32_t newRow = moved(firstRow);
                put32(out, body, moved(r.offset) - newRow);
                std::size_t from = rs[row->second].end();
                std::uint64_t newFrom = newRow + 4 + rs[row->second].size;
                for (std::size_t k = body + 4; k + 2 <= body + r.size; k += 2) {
                    const std::size_t cell = from + u16(out, k);
                    const std::uint32_t newCell = moved(cell);
                    if (newCell < newFrom || newCell - newFrom > 0xFFFF)
                        throw VbaProjectError(fmt::format("a row block of its Workbook stream would span more "
                                                          "than BIFF8 can address when {} were written",
                                                          what));
                    put16(out, k, static_cast<std::uint32_t>(newCell - newFrom));
                    from = cell;
                    newFrom = newCell;
                }
            }
        }
        if (edit)
            edit(r, out, body);
    }
    for (; next < inserts.size(); ++next)
        out += inserts[next].second;
    out.append(saved.substr(rs.back().end()));
    // Every sheet entry must still point at its sheet.
    const Layout check = layoutOf(out);
    if (check.sheets.size() != l.sheets.size())
        throw VbaProjectError(fmt::format("its Workbook stream lost a sheet when {} were written", what));
    return out;
}

} // namespace biff

using namespace biff;

namespace {

std::string whole(std::string_view s, const Record& r) { return std::string(s.substr(r.offset, 4 + r.size)); }

// The sheet's own CODENAME record, if any.
std::optional<std::size_t> codeNameOf(const Layout& l, const Layout::Sheet& sheet)
{
    const auto found = ownRecords(l, sheet, kCodeName);
    return found.empty() ? std::nullopt : std::optional(found.front());
}

} // namespace

VbaBinding readVbaBinding(std::string_view stream)
{
    const Layout l = layoutOf(stream);
    VbaBinding b;
    for (std::size_t i = 1; i < l.globalsEnd; ++i) {
        if (l.records[i].type == kObjProj && b.objProj.empty())
            b.objProj = whole(stream, l.records[i]);
        else if (l.records[i].type == kCodeName && b.workbookCodeName.empty())
            b.workbookCodeName = whole(stream, l.records[i]);
    }
    for (const auto& sheet : l.sheets)
        if (const auto code = codeNameOf(l, sheet))
            b.sheetCodeNames.emplace(sheetNameOf(stream, l.records[sheet.entry]), whole(stream, l.records[*code]));
    return b;
}

std::string withVbaBinding(std::string_view saved, const VbaBinding& binding)
{
    const Layout l = layoutOf(saved);
    const auto& rs = l.records;
    Edits edits;
    auto& inserts = edits.inserts;

    bool hasObjProj = false, hasCodeName = false;
    std::optional<std::size_t> anchor, window;
    for (std::size_t i = 1; i < l.globalsEnd; ++i) {
        hasObjProj |= rs[i].type == kObjProj;
        hasCodeName |= rs[i].type == kCodeName;
        if (rs[i].type == kTabId && !anchor)
            anchor = rs[i].end();
        if (rs[i].type == kWindow1 && !window)
            window = rs[i].offset;
    }
    std::string globals = (hasObjProj ? std::string() : binding.objProj) + (hasCodeName ? std::string() : binding.workbookCodeName);
    if (!globals.empty()) {
        if (!anchor)
            anchor = window;
        if (!anchor)
            throw VbaProjectError("its Workbook stream has no place for the project's records");
        inserts.emplace_back(*anchor, std::move(globals));
    }
    for (const auto& sheet : l.sheets) {
        const auto code = binding.sheetCodeNames.find(sheetNameOf(saved, rs[sheet.entry]));
        if (code == binding.sheetCodeNames.end() || codeNameOf(l, sheet))
            continue;
        std::size_t at = sheet.eof;
        while (at - 1 > sheet.bof && kAfterCodeName.count(rs[at - 1].type))
            --at;
        inserts.emplace_back(rs[at].offset, code->second);
    }
    return withEdits(saved, l, std::move(edits), "the project's records");
}

namespace {

// WINDOW2's flags that a copy's view sets.
constexpr std::uint16_t kShowGrid = 0x0002;
constexpr std::uint16_t kFrozen = 0x0008;
constexpr std::uint16_t kFrozenNoSplit = 0x0100;

} // namespace

std::map<std::u16string, SheetView> sheetViewsOf(std::string_view stream)
{
    const Layout l = layoutOf(stream);
    std::map<std::u16string, SheetView> views;
    for (const auto& sheet : l.sheets) {
        const auto window = ownRecords(l, sheet, kWindow2);
        if (window.empty() || l.records[window[0]].size < 2)
            continue;
        SheetView v;
        const std::uint32_t flags = u16(stream, l.records[window[0]].offset + 4);
        v.gridHidden = (flags & kShowGrid) == 0;
        const auto pane = ownRecords(l, sheet, kPane);
        if ((flags & kFrozen) != 0 && !pane.empty() && l.records[pane[0]].size >= 8) {
            const std::size_t at = l.records[pane[0]].offset + 4;
            v.columns = u16(stream, at);
            v.rows = u16(stream, at + 2);
            v.firstRow = u16(stream, at + 4);
            v.firstColumn = u16(stream, at + 6);
        }
        const auto zoom = ownRecords(l, sheet, kScl);
        if (!zoom.empty() && l.records[zoom[0]].size >= 4) {
            const std::size_t at = l.records[zoom[0]].offset + 4;
            if (const std::uint32_t denominator = u16(stream, at + 2); denominator > 0)
                v.zoom = u16(stream, at) * 100 / denominator;
        }
        if (v.any())
            if (auto name = readableSheetName(stream, l, sheet))
                views.emplace(std::move(*name), v);
    }
    return views;
}

std::string withSheetViews(std::string_view saved, const std::map<std::u16string, SheetView>& views)
{
    const Layout l = layoutOf(saved);
    const auto& rs = l.records;
    Edits edits;
    auto& inserts = edits.inserts;
    struct Window {
        const SheetView* view;
        bool freeze;
    };
    std::map<std::size_t, Window> windows; // by the offset of the WINDOW2 record to change
    for (const auto& sheet : l.sheets) {
        const auto name = readableSheetName(saved, l, sheet);
        const auto it = name ? views.find(*name) : views.end();
        const auto window = ownRecords(l, sheet, kWindow2);
        if (it == views.end() || window.empty() || rs[window[0]].size < 2)
            continue;
        const SheetView& v = it->second;
        Window& w = windows[rs[window[0]].offset] = {&v, false};
        // After the window's own records (page layout view, zoom), before its selections.
        std::size_t at = window[0] + 1;
        while (at < sheet.eof && rs[at].type == kPlv)
            ++at;
        std::string added;
        if (v.zoom != 100 && v.zoom >= 10 && v.zoom <= 400 && ownRecords(l, sheet, kScl).empty())
            added += le16(kScl) + le16(4) + le16(v.zoom) + le16(100);
        while (at < sheet.eof && rs[at].type == kScl)
            ++at;
        // BIFF8 sheets end at column IV and row 65536.
        if (v.frozen() && ownRecords(l, sheet, kPane).empty() && v.columns <= 255 && v.rows <= 65535 &&
            v.firstColumn <= 255 && v.firstRow <= 65535) {
            // The pane a person works in: below and right of what stays in view.
            const std::uint32_t active = v.columns > 0 && v.rows > 0 ? 0 : v.rows > 0 ? 2 : 1;
            added += le16(kPane) + le16(10) + le16(v.columns) + le16(v.rows) + le16(v.firstRow) + le16(v.firstColumn) +
                     static_cast<char>(active) + '\0';
            // Its selection: the first cell it shows.
            added += le16(kSelection) + le16(15) + static_cast<char>(active) + le16(v.firstRow) + le16(v.firstColumn) +
                     le16(0) + le16(1) + le16(v.firstRow) + le16(v.firstRow) + static_cast<char>(v.firstColumn) +
                     static_cast<char>(v.firstColumn);
            w.freeze = true;
        }
        if (!added.empty())
            inserts.emplace_back(rs[at].offset, std::move(added));
    }
    if (windows.empty())
        return std::string(saved);
    return withEdits(saved, l, std::move(edits), "the sheets' views",
                        [&](const Record& r, std::string& out, std::size_t body) {
                            const auto it = r.type == kWindow2 ? windows.find(r.offset) : windows.end();
                            if (it == windows.end())
                                return;
                            const SheetView& v = *it->second.view;
                            std::uint32_t flags = u16(out, body);
                            if (it->second.freeze)
                                flags |= kFrozen | kFrozenNoSplit;
                            if (v.gridHidden)
                                flags &= ~std::uint32_t{kShowGrid};
                            put16(out, body, flags);
                            // The zoom of the normal view, which SCL sets for the view shown.
                            if (v.zoom != 100 && v.zoom >= 10 && v.zoom <= 400 && r.size >= 14)
                                put16(out, body + 12, v.zoom);
                        });
}

namespace {

struct Unref {
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <typename T>
using GsfPtr = std::unique_ptr<T, Unref>;

std::string messageOf(GError* err)
{
    std::string m = err && err->message ? err->message : "unknown error";
    if (err)
        g_error_free(err);
    return m;
}

GsfPtr<GsfInfile> openCompound(const std::filesystem::path& file)
{
    static std::once_flag once;
    std::call_once(once, [] { gsf_init(); });
    GError* err = nullptr;
    GsfPtr<GsfInput> input(gsf_input_stdio_new(file.c_str(), &err));
    if (!input)
        throw VbaProjectError(fmt::format("{} cannot be read ({})", file.string(), messageOf(err)));
    GsfPtr<GsfInfile> ole(gsf_infile_msole_new(input.get(), &err));
    if (!ole)
        throw VbaProjectError(fmt::format("{} is not a compound file ({})", file.string(), messageOf(err)));
    return ole;
}

std::string contentOf(GsfInput* in)
{
    const gsf_off_t size = gsf_input_size(in);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (size > 0 && !gsf_input_read(in, static_cast<std::size_t>(size), reinterpret_cast<guint8*>(bytes.data())))
        throw VbaProjectError(fmt::format("the stream {} cannot be read", gsf_input_name(in)));
    return bytes;
}

void write(GsfOutput* out, const std::string& bytes)
{
    if (!gsf_output_write(out, bytes.size(), reinterpret_cast<const guint8*>(bytes.data())))
        throw VbaProjectError("the new compound file cannot be written");
}

// Copies a stream or a storage (with its class id and everything under it).
void copyEntry(GsfInput* entry, const char* name, GsfOutfile* into)
{
    const bool storage = gsf_infile_num_children(GSF_INFILE(entry)) >= 0;
    GsfPtr<GsfOutput> out(gsf_outfile_new_child(into, name, storage));
    if (!out)
        throw VbaProjectError(fmt::format("the entry {} cannot be written", name));
    if (storage) {
        guint8 clsid[16];
        if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(entry), clsid))
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out.get()), clsid);
        const int n = gsf_infile_num_children(GSF_INFILE(entry));
        for (int i = 0; i < n; ++i) {
            GsfPtr<GsfInput> child(gsf_infile_child_by_index(GSF_INFILE(entry), i));
            if (!child)
                throw VbaProjectError(fmt::format("an entry under {} cannot be read", name));
            copyEntry(child.get(), gsf_infile_name_by_index(GSF_INFILE(entry), i), GSF_OUTFILE(out.get()));
        }
    } else {
        write(out.get(), contentOf(entry));
    }
    gsf_output_close(out.get());
}

constexpr const char* kProjectStorage = "_VBA_PROJECT_CUR";

} // namespace

namespace {

// Rewrites the compound file `saved` with its Workbook stream passed through `workbook`, and
// `project` (a storage of another file), if given, in place of any project it has.
void rewriteCompound(const std::filesystem::path& saved, const std::function<std::string(std::string)>& workbook,
                     GsfInput* project = nullptr)
{
    std::string bytes;
    {
        const GsfPtr<GsfInfile> written = openCompound(saved);
        const GsfPtr<GsfOutput> memory(gsf_output_memory_new());
        GsfPtr<GsfOutfile> into(gsf_outfile_msole_new(memory.get()));
        guint8 clsid[16];
        if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(written.get()), clsid))
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(into.get()), clsid);
        bool book = false;
        const int n = gsf_infile_num_children(written.get());
        for (int i = 0; i < n; ++i) {
            const char* name = gsf_infile_name_by_index(written.get(), i);
            GsfPtr<GsfInput> entry(gsf_infile_child_by_index(written.get(), i));
            if (!name || !entry)
                throw VbaProjectError("an entry of the saved file cannot be read");
            if (project && g_ascii_strcasecmp(name, kProjectStorage) == 0)
                continue;
            if (std::strcmp(name, "Workbook") == 0) {
                GsfPtr<GsfOutput> out(gsf_outfile_new_child(GSF_OUTFILE(into.get()), name, false));
                write(out.get(), workbook(contentOf(entry.get())));
                gsf_output_close(out.get());
                book = true;
            } else {
                copyEntry(entry.get(), name, into.get());
            }
        }
        if (!book)
            throw VbaProjectError("the saved file has no BIFF8 Workbook stream");
        if (project)
            copyEntry(project, kProjectStorage, into.get());
        if (!gsf_output_close(GSF_OUTPUT(into.get())))
            throw VbaProjectError("the new compound file cannot be finished");
        into.reset();
        const guint8* data = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(memory.get()));
        bytes.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(gsf_output_size(memory.get())));
    }
    const int fd = ::open(saved.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        throw VbaProjectError(fmt::format("{} cannot be written ({})", saved.string(), std::strerror(errno)));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            const int err = errno;
            ::close(fd);
            throw VbaProjectError(fmt::format("{} cannot be written ({})", saved.string(), std::strerror(err)));
        }
        done += static_cast<std::size_t>(w);
    }
    if (::close(fd) != 0)
        throw VbaProjectError(fmt::format("{} cannot be written ({})", saved.string(), std::strerror(errno)));
}

} // namespace

void keepVbaProject(const std::filesystem::path& original, const std::filesystem::path& saved)
{
    const GsfPtr<GsfInfile> from = openCompound(original);
    const GsfPtr<GsfInput> project(gsf_infile_child_by_name(from.get(), kProjectStorage));
    const GsfPtr<GsfInput> fromBook(gsf_infile_child_by_name(from.get(), "Workbook"));
    if (!project || !fromBook)
        throw VbaProjectError(fmt::format("{} holds no VBA project of a BIFF8 workbook", original.string()));
    const VbaBinding binding = readVbaBinding(contentOf(fromBook.get()));
    rewriteCompound(saved, [&](std::string stream) { return withVbaBinding(stream, binding); }, project.get());
}

std::map<std::u16string, SheetView> sheetViewsOfFile(const std::filesystem::path& xls)
{
    return sheetViewsOf(workbookStreamOf(xls));
}

void writeSheetViews(const std::filesystem::path& saved, const std::map<std::u16string, SheetView>& views)
{
    rewriteCompound(saved, [&](std::string stream) { return withSheetViews(stream, views); });
}

std::string biff::workbookStreamOf(const std::filesystem::path& xls)
{
    const GsfPtr<GsfInfile> from = openCompound(xls);
    const GsfPtr<GsfInput> book(gsf_infile_child_by_name(from.get(), "Workbook"));
    if (!book)
        throw VbaProjectError(fmt::format("{} holds no BIFF8 Workbook stream", xls.string()));
    return contentOf(book.get());
}

void biff::rewriteWorkbookStream(const std::filesystem::path& saved,
                                 const std::function<std::string(std::string)>& workbook)
{
    rewriteCompound(saved, workbook);
}

} // namespace tessaro
