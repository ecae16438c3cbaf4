// SPDX-License-Identifier: MIT
#include "engine/opc/package.h"

#include "platform/atomic_file.h"
#include "platform/engine_error.h"
#include "engine/zip/file_kind.h"
#include "engine/opc/open_document.h"
#include "engine/opc/save_guard.h"
#include "engine/zip/zip_writer.h"
#include "engine/zip/zip_reader.h"
#include "engine/xml/xml_scanner.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

const std::string kContentTypesPart = "/[Content_Types].xml";

class ZipPartReader final : public PartReader {
public:
    ZipPartReader(const ZipReader& zip, const ZipEntry& entry) : stream_(zip, entry) {}
    std::size_t read(char* out, std::size_t capacity) override { return stream_.read(out, capacity); }

private:
    ZipReader::Stream stream_;
};

class MemoryPartReader final : public PartReader {
public:
    explicit MemoryPartReader(std::string content) : content_(std::move(content)) {}
    std::size_t read(char* out, std::size_t capacity) override
    {
        std::size_t n = std::min(capacity, content_.size() - pos_);
        std::memcpy(out, content_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::string content_;
    std::size_t pos_ = 0;
};

// Inflates a stored part held in memory.
class StoredPartReader final : public PartReader {
public:
    StoredPartReader(StoredPart part, std::string display, std::string name)
        : part_(std::move(part)), display_(std::move(display)), name_(std::move(name))
    {
        if (part_.method == StoredPart::Method::Deflated)
            inflater_ = std::make_unique<Inflater>();
    }
    std::size_t read(char* out, std::size_t capacity) override
    {
        if (!inflater_) {
            std::size_t n = part_.bytes->readAt(offset_, out, capacity);
            offset_ += n;
            return n;
        }
        if (ended_ || capacity == 0)
            return 0;
        std::size_t got = 0;
        while (got == 0) {
            if (inflater_->wantsInput()) {
                input_.resize(kInputPiece);
                std::size_t n = part_.bytes->readAt(offset_, input_.data(), input_.size());
                if (n == 0)
                    throw EngineError(ErrorCode::PartDamaged, display_, name_ + ": its compressed data end too early");
                input_.resize(n);
                offset_ += n;
                inflater_->give(input_.data(), input_.size());
            }
            Inflater::Status status = inflater_->run(out, capacity, got);
            if (status == Inflater::Status::End) {
                ended_ = true;
                break;
            }
            if (status == Inflater::Status::Corrupt)
                throw EngineError(ErrorCode::PartDamaged, display_, name_ + ": its compressed data are corrupt");
        }
        return got;
    }

private:
    static constexpr std::size_t kInputPiece = 1u << 18;
    StoredPart part_;
    std::string display_;
    std::string name_;
    std::unique_ptr<Inflater> inflater_;
    bool ended_ = false;
    std::uint64_t offset_ = 0;
    std::string input_;
};

std::string readAll(PartReader& r)
{
    std::string out;
    std::string buf(1 << 16, '\0');
    while (std::size_t n = r.read(buf.data(), buf.size()))
        out.append(buf.data(), n);
    return out;
}

} // namespace

std::string entryNameOf(std::string_view partName)
{
    if (!partName.empty() && partName.front() == '/')
        partName.remove_prefix(1);
    return std::string(partName);
}

std::string partNameOf(std::string_view entryName)
{
    return "/" + std::string(entryName);
}

Package::Package(const std::filesystem::path& file, std::string displayPath, std::shared_ptr<EngineContext> context)
    : path_(file), display_(std::move(displayPath)), context_(std::move(context))
{
    requireZipArchive(path_, display_);
    zip_ = std::make_shared<ZipReader>(path_, display_, context_->options().inflateLimits);
    if (!zip_->find("[Content_Types].xml")) {
        if (zip_->find("mimetype") || zip_->find("content.xml")) {
            std::string mime = zip_->find("mimetype") ? zip_->read(*zip_->find("mimetype"), 4096) : std::string();
            if (mime.find("opendocument.spreadsheet") != std::string::npos || mime.empty()) {
                // The office reads it next: a file that would keep it busy for hours stops here.
                checkOpenDocumentRepeats(*zip_, display_);
                throw EngineError(ErrorCode::OpenDocument, display_);
            }
        }
        throw EngineError(ErrorCode::NotSpreadsheetPackage, display_, "it has no list of content types");
    }
    contentTypes_.load(readPart(kContentTypesPart), display_);
    // The class is the one the package's relationship to its main document is spelt in:
    // that is what a reader must understand before it can find anything else.
    if (hasPart("/_rels/.rels")) {
        Relationships root("/");
        root.load(readPart("/_rels/.rels"), display_);
        for (const Relationship& r : root.all()) {
            if (r.external || classOfUri(r.type) != Conformance::Strict)
                continue;
            if (uriIn(Conformance::Transitional, r.type) == rel_type::kOfficeDocument)
                conformance_ = Conformance::Strict;
        }
    }
}

bool Package::isXmlPart(std::string_view name) const
{
    std::size_t dot = name.rfind('.');
    std::string ext = foldAscii(dot == std::string_view::npos ? std::string_view{} : name.substr(dot));
    if (ext == ".xml" || ext == ".rels")
        return true;
    std::string type = contentTypes_.typeOf(name).value_or("");
    return type.ends_with("+xml") || type == "application/xml" || type == "text/xml";
}

StoredPart Package::storedFormOf(const Change& c) const
{
    if (c.stored)
        return c.storedPart;
    if (conformance_ == Conformance::Strict && isXmlPart(partNameOf(c.name)))
        if (auto strict = translateXml(c.content, Conformance::Strict))
            return context_->storedForm(*strict);
    return context_->storedForm(c.content);
}

const std::string& Package::fileIdentity() const
{
    return zip_->identity();
}

const ZipEntry* Package::entryFor(std::string_view name) const
{
    return zip_->find(entryNameOf(name));
}

const Package::Change* Package::changeFor(std::string_view name) const
{
    std::string key = foldAscii(partNameOf(entryNameOf(name)));
    auto it = changes_.find(key);
    return it == changes_.end() ? nullptr : &it->second;
}

bool Package::hasPart(std::string_view name) const
{
    if (const Change* c = changeFor(name))
        return !c->removed;
    return entryFor(name) != nullptr;
}

std::unique_ptr<PartReader> Package::openPart(std::string_view name) const
{
    if (const Change* c = changeFor(name)) {
        if (c->removed)
            throw EngineError(ErrorCode::PartMissing, display_, entryNameOf(name));
        if (c->rawZip)
            return std::make_unique<ZipPartReader>(*c->rawZip, c->rawEntry);
        if (c->stored)
            return std::make_unique<StoredPartReader>(c->storedPart, display_, entryNameOf(name));
        return std::make_unique<MemoryPartReader>(c->content);
    }
    const ZipEntry* e = entryFor(name);
    if (!e)
        throw EngineError(ErrorCode::PartMissing, display_, entryNameOf(name));
    return std::make_unique<ZipPartReader>(*zip_, *e);
}

namespace {

class SharedTextReader final : public PartReader {
public:
    explicit SharedTextReader(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}
    std::size_t read(char* out, std::size_t capacity) override
    {
        std::size_t n = std::min(capacity, text_->size() - pos_);
        std::memcpy(out, text_->data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::shared_ptr<const std::string> text_;
    std::size_t pos_ = 0;
};

// Big parts stream every time, so that memory stays flat however tall a sheet is.
constexpr std::uint64_t kRereadPartLimit = 16ull << 20;
constexpr std::uint64_t kRereadTotalLimit = 64ull << 20;

} // namespace

std::unique_ptr<PartReader> Package::openPartToReread(std::string_view name) const
{
    if (changeFor(name))
        return openPart(name);
    const ZipEntry* e = entryFor(name);
    if (!e || e->size > kRereadPartLimit)
        return openPart(name);
    const std::string key = foldAscii(partNameOf(entryNameOf(name)));
    auto it = reread_.find(key);
    if (it == reread_.end()) {
        if (rereadBytes_ + e->size > kRereadTotalLimit)
            return openPart(name);
        auto text = std::make_shared<const std::string>(zip_->read(*e, context_->options().wholePartLimit));
        rereadBytes_ += text->size();
        it = reread_.emplace(key, std::move(text)).first;
    }
    return std::make_unique<SharedTextReader>(it->second);
}

void Package::forgetReread(const std::string& key)
{
    if (auto it = reread_.find(key); it != reread_.end()) {
        rereadBytes_ -= it->second->size();
        reread_.erase(it);
    }
}

std::uint64_t Package::partSize(std::string_view name) const
{
    if (const Change* c = changeFor(name))
        return c->removed ? 0 : c->rawZip ? c->rawEntry.size : c->stored ? c->storedPart.size : c->content.size();
    const ZipEntry* e = entryFor(name);
    return e ? e->size : 0;
}

namespace {

bool isXmlPartName(std::string_view name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    std::string ext(name.substr(dot + 1));
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "xml" || ext == "rels" || ext == "vml";
}

} // namespace

void Package::vetEveryStoredPart() const
{
    std::vector<char> buffer(1 << 16);
    for (const ZipEntry& e : zip_->entries()) {
        ZipReader::Stream stream(*zip_, e);
        // A declaration can only come before the root element: the prolog is scanned, the
        // rest only read through.
        bool inProlog = isXmlPartName(e.name);
        std::string prolog;
        XmlScanner scanner;
        XmlToken token;
        std::size_t pos = 0;
        for (std::size_t n; (n = stream.read(buffer.data(), buffer.size())) > 0;) {
            if (!inProlog)
                continue;
            prolog.append(buffer.data(), n);
            for (;;) {
                XmlScanner::Result r;
                try {
                    r = scanner.next(prolog, pos, false, token);
                } catch (const XmlSyntaxError&) {
                    // Malformed XML is the reading engine's to refuse in its own words.
                    inProlog = false;
                    break;
                }
                if (r != XmlScanner::Result::Token)
                    break;
                if (token.kind == XmlToken::Kind::Doctype)
                    throw EngineError(ErrorCode::XmlDoctype, display_, e.name);
                if (token.kind == XmlToken::Kind::StartTag) {
                    inProlog = false;
                    break;
                }
            }
        }
    }
}

std::string Package::readPart(std::string_view name) const
{
    std::string text;
    if (const Change* c = changeFor(name)) {
        if (c->removed)
            throw EngineError(ErrorCode::PartMissing, display_, entryNameOf(name));
        if (c->rawZip)
            return c->rawZip->read(c->rawEntry, context_->options().wholePartLimit);
        if (!c->stored)
            return c->content;
        if (c->storedPart.size > context_->options().wholePartLimit)
            throw EngineError(ErrorCode::PartTooLarge, display_, entryNameOf(name));
        auto r = openPart(name);
        text = readAll(*r);
    } else {
        const ZipEntry* e = entryFor(name);
        if (!e)
            throw EngineError(ErrorCode::PartMissing, display_, entryNameOf(name));
        text = zip_->read(*e, context_->options().wholePartLimit);
    }
    if (conformance_ == Conformance::Strict && isXmlPart(name))
        if (auto transitional = translateXml(text, Conformance::Transitional))
            return std::move(*transitional);
    return text;
}

std::string Package::partIdentity(std::string_view name) const
{
    if (const Change* c = changeFor(name)) {
        if (c->rawZip)
            return fmt::format("zip:{}:{}:{:08x}:{}:{}", c->rawZip->identity(), c->rawEntry.name, c->rawEntry.crc,
                               c->rawEntry.compressedSize, c->rawEntry.size);
        if (c->stored) {
            Fingerprinter fp;
            fp.add(c->storedPart.crc).add(c->storedPart.size);
            c->storedPart.bytes->forEachPiece([&](std::string_view piece) { fp.add(piece); });
            Fingerprint f = fp.result();
            return fmt::format("mem:{:016x}{:016x}", f.a, f.b);
        }
        Fingerprint f = fingerprintOf(c->content);
        return fmt::format("txt:{:016x}{:016x}", f.a, f.b);
    }
    const ZipEntry* e = entryFor(name);
    if (!e)
        return {};
    return fmt::format("zip:{}:{}:{:08x}:{}:{}", zip_->identity(), e->name, e->crc, e->compressedSize, e->size);
}

void Package::putPart(std::string_view name, std::string content)
{
    std::string pn = partNameOf(entryNameOf(name));
    std::string key = foldAscii(pn);
    forgetReread(key);
    auto [it, fresh] = changes_.try_emplace(key);
    Change& c = it->second;
    if (fresh) {
        const ZipEntry* e = entryFor(pn);
        c.name = e ? e->name : entryNameOf(pn);
        if (!e)
            added_.push_back(key);
    }
    c.removed = false;
    c.stored = false;
    c.content = std::move(content);
    c.storedPart = {};
    c.rawZip.reset();
}

void Package::putStoredPart(std::string_view name, StoredPart part)
{
    putPart(name, {});
    Change& c = changes_[foldAscii(partNameOf(entryNameOf(name)))];
    c.stored = true;
    c.storedPart = std::move(part);
}

void Package::putPartFrom(std::string_view name, const Package& other, std::string_view otherName)
{
    if (const Change* c = other.changeFor(otherName)) {
        if (c->removed)
            throw EngineError(ErrorCode::PartMissing, other.display_, entryNameOf(otherName));
        if (c->rawZip) {
            putPart(name, {});
            Change& mine = changes_[foldAscii(partNameOf(entryNameOf(name)))];
            mine.rawZip = c->rawZip;
            mine.rawEntry = c->rawEntry;
        } else if (c->stored) {
            putStoredPart(name, c->storedPart);
        } else {
            putPart(name, c->content);
        }
        return;
    }
    const ZipEntry* e = other.entryFor(otherName);
    if (!e)
        throw EngineError(ErrorCode::PartMissing, other.display_, entryNameOf(otherName));
    putPart(name, {});
    Change& mine = changes_[foldAscii(partNameOf(entryNameOf(name)))];
    mine.rawZip = other.zip_;
    mine.rawEntry = *e;
}

void Package::removePart(std::string_view name)
{
    std::string key = foldAscii(partNameOf(entryNameOf(name)));
    forgetReread(key);
    if (!entryFor(name)) {
        changes_.erase(key);
        std::erase(added_, key);
        return;
    }
    Change& c = changes_[key];
    c.name = entryFor(name)->name;
    c.removed = true;
    c.content.clear();
    c.storedPart = {};
    c.rawZip.reset();
}

std::vector<std::string> Package::partNames() const
{
    std::vector<std::string> names;
    for (const ZipEntry& e : zip_->entries()) {
        if (!e.name.empty() && e.name.back() == '/')
            continue;
        if (const Change* c = changeFor(e.name); c && c->removed)
            continue;
        names.push_back(partNameOf(e.name));
    }
    for (const auto& key : added_)
        names.push_back(partNameOf(changes_.at(key).name));
    return names;
}

Relationships& Package::relationships(std::string_view sourcePart)
{
    std::string key = foldAscii(sourcePart);
    auto it = rels_.find(key);
    if (it != rels_.end())
        return *it->second;
    auto rels = std::make_unique<Relationships>(std::string(sourcePart));
    if (hasPart(rels->partName()))
        rels->load(readPart(rels->partName()), display_);
    return *rels_.emplace(key, std::move(rels)).first->second;
}

void Package::removeRelationships(std::string_view sourcePart)
{
    const std::string relsPart = Relationships(std::string(sourcePart)).partName();
    rels_.erase(foldAscii(sourcePart));
    if (hasPart(relsPart))
        removePart(relsPart);
}

bool Package::modified() const
{
    if (!changes_.empty() || contentTypes_.modified())
        return true;
    for (const auto& [k, r] : rels_)
        if (r->modified())
            return true;
    return false;
}

void Package::flushModels()
{
    for (auto& [k, r] : rels_) {
        if (!r->modified())
            continue;
        putPart(r->partName(), r->serialize());
        // Nearly every package maps .rels by extension; one that does not still needs a type
        // for a relationships part it did not have.
        if (!contentTypes_.typeOf(r->partName()))
            contentTypes_.setOverride(r->partName(), "application/vnd.openxmlformats-package.relationships+xml");
    }
    if (contentTypes_.modified())
        putPart(kContentTypesPart, contentTypes_.serialize());
}

void Package::checkCanSave() const
{
    const SaveGuard guard(path_, display_, zip_->identity(), std::chrono::milliseconds(0));
}

void Package::writeTo(const std::filesystem::path& target, const std::string& display)
{
    // Writing back to the file that was read needs it to be that same file still, both
    // before the writing starts and at the moment the new file takes its place.
    const std::string readIdentity = target == path_ ? zip_->identity() : std::string();
    SaveGuard guard(target, display, readIdentity, context_->options().lockWait);
    flushModels();
    auto write = [&](OutputFile& out) {
        ZipWriter zip(out);
        for (const ZipEntry& e : zip_->entries()) {
            const Change* c = changeFor(e.name);
            if (!c) {
                zip.addRaw(*zip_, e);
            } else if (c->rawZip) {
                zip.addRaw(*c->rawZip, c->rawEntry, c->name);
            } else if (!c->removed) {
                zip.add(c->name, storedFormOf(*c));
            }
        }
        for (const auto& key : added_) {
            const Change& c = changes_.at(key);
            if (c.rawZip)
                zip.addRaw(*c.rawZip, c.rawEntry, c.name);
            else if (!c.removed)
                zip.add(c.name, storedFormOf(c));
        }
        zip.finish();
    };
    std::string notFlushed;
    try {
        replaceFileAtomically(target, write, context_->options().outputWrapper, readIdentity);
    } catch (const TargetChangedMeanwhile&) {
        throw EngineError(ErrorCode::FileChangedSinceOpened, display);
    } catch (const AttributesNotKept& e) {
        throw EngineError(ErrorCode::AttributesNotKept, display, e.what());
    } catch (const ReplacedButNotFlushed& e) {
        // The new file is in place: the package reads from it, and the caller hears that
        // the disk did not confirm it.
        notFlushed = e.what();
    } catch (const std::system_error& e) {
        switch (e.code().value()) {
        case EISDIR:
            throw EngineError(ErrorCode::TargetIsFolder, display);
        case ENOSPC:
        case EDQUOT:
            throw EngineError(ErrorCode::DiskFull, display, e.what());
        case EACCES:
        case EPERM:
        case EROFS:
            throw EngineError(ErrorCode::FolderNotWritable, display, e.what());
        default:
            throw EngineError(ErrorCode::SaveFailed, display, e.what());
        }
    }
    // The new file now holds every part: read from it from here on.
    zip_ = std::make_shared<ZipReader>(target, display, context_->options().inflateLimits);
    path_ = target;
    display_ = display;
    changes_.clear();
    added_.clear();
    contentTypes_.markSaved();
    for (auto& [k, r] : rels_)
        r->markSaved();
    if (!notFlushed.empty())
        throw EngineError(ErrorCode::SavedButNotFlushed, display, notFlushed);
}

void Package::save()
{
    writeTo(path_, display_);
}

void Package::saveAs(const std::filesystem::path& file, std::string displayPath)
{
    writeTo(file, displayPath);
}

} // namespace tessaro::xlsx
