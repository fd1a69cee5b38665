// A quarantine manifest as a hostile or damaged disk could hand it to the
// restore: the parser must stay inside the bytes, and whatever it accepts
// must be what the restore can act on and must read back the same once
// written again.

#include "program/quarantine/core/Manifest.hpp"
#include "tests/fuzz/Reached.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool SameEntry(const ManifestEntry& a, const ManifestEntry& b)
{
    return a.kind == b.kind && a.originalPath == b.originalPath && a.storedName == b.storedName && a.size == b.size &&
           a.sha256 == b.sha256 && a.md5 == b.md5 && a.action == b.action && a.reason == b.reason && a.memoryVerdict == b.memoryVerdict;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // An exact-size copy, so that any read past the end is caught.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<Manifest> manifest = ParseManifest(text);
    if (!manifest)
        return 0;
    fuzzreach::Reached();

    std::string again = ManifestHeaderText(manifest->header);
    for (std::size_t i = 0; i < manifest->entries.size(); ++i) {
        const ManifestEntry& entry = manifest->entries[i];
        // The restore opens folder\storedName and writes to originalPath.
        if (!IsStoredFileName(entry.storedName) || !IsRestorablePath(entry.kind, entry.originalPath))
            std::abort();
        if (entry.sha256.size() != 64 || entry.md5.size() != 32)
            std::abort();
        again += ManifestEntryText(entry, static_cast<unsigned>(i + 1));
    }
    const std::optional<Manifest> reread = ParseManifest(again);
    if (!reread || reread->entries.size() != manifest->entries.size())
        std::abort();
    if (reread->header.runTime != manifest->header.runTime || reread->header.computerName != manifest->header.computerName ||
        reread->header.toolVersion != manifest->header.toolVersion ||
        reread->header.computerSid != manifest->header.computerSid)
        std::abort();
    for (std::size_t i = 0; i < manifest->entries.size(); ++i)
        if (!SameEntry(manifest->entries[i], reread->entries[i]))
            std::abort();
    return 0;
}
