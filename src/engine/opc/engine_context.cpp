// SPDX-License-Identifier: MIT
#include "engine/opc/engine_context.h"

#include <utility>

#include "platform/file_identity.h"

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {
// Parts smaller than this are cheaper to compress again than to keep and look up.
constexpr std::size_t kSmallestCached = 512;
// The profiles of this many source sheets are kept; each is small (index lists).
constexpr std::size_t kProfileLimit = 256;

std::string keyOf(const std::filesystem::path& file)
{
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(file, ec);
    return (ec ? file : abs).lexically_normal().string();
}

std::string stampOf(const std::filesystem::path& file)
{
    const auto id = identityOfFile(file);
    return id ? id->key() : std::string();
}

} // namespace

void EngineContext::setOrigin(const std::filesystem::path& file, const std::filesystem::path& origin,
                              bool linksBesideFile)
{
    std::string stamp = stampOf(file);
    std::filesystem::path from = originOf(origin);
    std::lock_guard lock(mutex_);
    origins_[keyOf(file)] = Origin{std::move(stamp), std::filesystem::path(keyOf(from)), linksBesideFile};
}

std::filesystem::path EngineContext::linkBaseOf(const std::filesystem::path& file) const
{
    const std::string key = keyOf(file);
    {
        std::lock_guard lock(mutex_);
        auto it = origins_.find(key);
        if (it != origins_.end() && it->second.linksBesideFile && !it->second.stamp.empty() &&
            it->second.stamp == stampOf(file))
            return std::filesystem::path(key).parent_path();
    }
    return originOf(file).parent_path();
}

std::filesystem::path EngineContext::originOf(const std::filesystem::path& file) const
{
    std::string key = keyOf(file);
    {
        std::lock_guard lock(mutex_);
        auto it = origins_.find(key);
        if (it == origins_.end())
            return key;
        if (!it->second.stamp.empty() && it->second.stamp == stampOf(file))
            return it->second.origin;
    }
    return key;
}

EngineContext::EngineContext(EngineOptions options) : options_(std::move(options)) {}

std::optional<StoredPart> EngineContext::lookup(Lru& lru,
                                                std::unordered_map<Fingerprint, Lru::iterator, FingerprintHash>& index,
                                                const Fingerprint& key)
{
    auto it = index.find(key);
    if (it == index.end())
        return std::nullopt;
    lru.splice(lru.begin(), lru, it->second);
    return it->second->part;
}

void EngineContext::insert(Lru& lru, std::unordered_map<Fingerprint, Lru::iterator, FingerprintHash>& index,
                           const Fingerprint& key, const StoredPart& part)
{
    if (index.count(key))
        return;
    if (part.bytes->size() > options_.cacheBudget / 2)
        return;
    lru.push_front(Entry{key, part});
    index.emplace(key, lru.begin());
    held_ += part.bytes->size();
    evict();
}

void EngineContext::evict()
{
    while (held_ > options_.cacheBudget && (!contentLru_.empty() || !rewriteLru_.empty())) {
        // Worksheets are the expensive ones to redo, so plain parts go first.
        Lru& lru = contentLru_.empty() ? rewriteLru_ : contentLru_;
        auto& index = contentLru_.empty() ? rewriteIndex_ : contentIndex_;
        held_ -= lru.back().part.bytes->size();
        index.erase(lru.back().key);
        lru.pop_back();
    }
}

StoredPart EngineContext::storedForm(std::string_view content)
{
    if (content.size() < kSmallestCached) {
        std::lock_guard lock(mutex_);
        ++stats_.compressions;
        return compressPart(content, deflateLevelFor(content.size()));
    }
    Fingerprint key = fingerprintOf(content);
    {
        std::lock_guard lock(mutex_);
        if (auto hit = lookup(contentLru_, contentIndex_, key)) {
            ++stats_.reusedCompressions;
            return *hit;
        }
    }
    StoredPart part = compressPart(content, deflateLevelFor(content.size()));
    std::lock_guard lock(mutex_);
    ++stats_.compressions;
    insert(contentLru_, contentIndex_, key, part);
    return part;
}

std::optional<StoredPart> EngineContext::findRewrite(const Fingerprint& key)
{
    std::lock_guard lock(mutex_);
    auto hit = lookup(rewriteLru_, rewriteIndex_, key);
    if (hit)
        ++stats_.reusedRewrites;
    return hit;
}

void EngineContext::keepRewrite(const Fingerprint& key, const StoredPart& part)
{
    std::lock_guard lock(mutex_);
    insert(rewriteLru_, rewriteIndex_, key, part);
}

void EngineContext::countRewrite()
{
    std::lock_guard lock(mutex_);
    ++stats_.rewrites;
}

std::shared_ptr<const SheetProfile> EngineContext::findProfile(const std::string& key)
{
    std::lock_guard lock(mutex_);
    auto it = profiles_.find(key);
    return it == profiles_.end() ? nullptr : it->second;
}

void EngineContext::keepProfile(const std::string& key, std::shared_ptr<const SheetProfile> profile)
{
    std::lock_guard lock(mutex_);
    if (profiles_.size() >= kProfileLimit)
        profiles_.clear();
    profiles_[key] = std::move(profile);
}

EngineContext::Stats EngineContext::stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

} // namespace tessaro::xlsx
