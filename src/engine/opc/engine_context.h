// SPDX-License-Identifier: MIT
#pragma once

#include "engine/zip/compression.h"
#include "engine/zip/output_file.h"
#include "engine/zip/zip_reader.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tessaro::xlsx {

struct SheetProfile;

// Settings of one engine factory; tests change them to inject faults or limits.
struct EngineOptions {
    // Wraps the file every save writes; the default writes it plainly.
    OutputFileWrapper outputWrapper;
    // How many bytes of compressed parts the shared caches may keep.
    std::uint64_t cacheBudget = 256ull << 20;
    // The largest part the engine expands into memory as a whole (styles, workbook, shared
    // strings...). Worksheets are streamed and not bound by it.
    std::uint64_t wholePartLimit = 512ull << 20;
    // What reading one workbook file may inflate in all, streamed worksheets included.
    InflateLimits inflateLimits;
    // How long a save waits for another program (another Tessaro, say) to let go of the file
    // before it reports the file as locked.
    std::chrono::milliseconds lockWait{2000};
};

// What every instance made by one factory shares: the options and the caches that let a
// job copying one sheet into hundreds of workbooks compress each distinct part once.
// Safe to use from several threads.
class EngineContext {
public:
    explicit EngineContext(EngineOptions options);

    const EngineOptions& options() const { return options_; }

    // The stored form of a part's content, compressed the first time those exact bytes are
    // seen and reused after that.
    StoredPart storedForm(std::string_view content);

    // Rewritten worksheets, keyed by everything the rewrite depends on.
    std::optional<StoredPart> findRewrite(const Fingerprint& key);
    void keepRewrite(const Fingerprint& key, const StoredPart& part);

    // What a source worksheet uses (styles, strings...), keyed by the source's identity.
    std::shared_ptr<const SheetProfile> findProfile(const std::string& key);
    void keepProfile(const std::string& key, std::shared_ptr<const SheetProfile> profile);

    // Provenance: `file` holds a workbook whose links to its own other sheets must name
    // `origin` (a temporary copy of a source, or a conversion of a legacy workbook). It
    // holds while `file` is the file it is now; a file written there later is itself again.
    // `linksBesideFile`: the program that wrote `file` made its relative links to other
    // files relative to `file`'s own folder (LibreOffice does), not to `origin`'s.
    void setOrigin(const std::filesystem::path& file, const std::filesystem::path& origin,
                   bool linksBesideFile = false);
    // The origin recorded for `file`, or the file itself.
    std::filesystem::path originOf(const std::filesystem::path& file) const;
    // The folder `file`'s relative links to other files start from.
    std::filesystem::path linkBaseOf(const std::filesystem::path& file) const;

    struct Stats {
        std::uint64_t compressions = 0;
        std::uint64_t reusedCompressions = 0;
        std::uint64_t rewrites = 0;
        std::uint64_t reusedRewrites = 0;
    };
    Stats stats() const;
    void countRewrite();

private:
    struct Entry {
        Fingerprint key;
        StoredPart part;
    };
    using Lru = std::list<Entry>;
    std::optional<StoredPart> lookup(Lru& lru, std::unordered_map<Fingerprint, Lru::iterator, FingerprintHash>& index,
                                     const Fingerprint& key);
    void insert(Lru& lru, std::unordered_map<Fingerprint, Lru::iterator, FingerprintHash>& index,
                const Fingerprint& key, const StoredPart& part);
    void evict();

    EngineOptions options_;
    mutable std::mutex mutex_;
    Lru contentLru_;
    std::unordered_map<Fingerprint, Lru::iterator, FingerprintHash> contentIndex_;
    Lru rewriteLru_;
    std::unordered_map<Fingerprint, Lru::iterator, FingerprintHash> rewriteIndex_;
    std::uint64_t held_ = 0;
    std::unordered_map<std::string, std::shared_ptr<const SheetProfile>> profiles_;
    struct Origin {
        std::string stamp;
        std::filesystem::path origin;
        bool linksBesideFile = false;
    };
    std::unordered_map<std::string, Origin> origins_;
    Stats stats_;
};

} // namespace tessaro::xlsx
