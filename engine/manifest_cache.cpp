#include "manifest_cache.h"

namespace modUpdate {
namespace {

// Manifests are small; anything beyond this is not a manifest we will read.
constexpr std::size_t kSettingsFileCap = 64u << 20;

}  // namespace

const velloran::SettingsDocument& ManifestCache::file(const std::string& path) {
    static const velloran::SettingsDocument kMissing;
    const auto stamp = files_.stamp(path);
    if (!stamp) {
        parsed_.erase(path);
        return kMissing;
    }
    auto found = parsed_.find(path);
    if (found == parsed_.end() || !(found->second.stamp == *stamp)) {
        const auto bytes = files_.readFile(path, kSettingsFileCap);
        if (!bytes) return kMissing;
        found = parsed_.insert_or_assign(path, Parsed{*stamp, velloran::SettingsDocument(*bytes)}).first;
    }
    return found->second.document;
}

}  // namespace modUpdate
