// A stored registry export as a damaged or forged copy could hand it to the
// restore: the parser must stay inside the bytes, and what it accepts must
// be a tree the restore can write key by key (the root first, each key after
// its parent) and must read back the same once written again.

#include "program/quarantine/core/RegistryExport.hpp"
#include "tests/fuzz/Reached.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<RegistryExport> tree = ParseRegistryExport(text);
    if (!tree)
        return 0;
    fuzzreach::Reached();

    if (tree->keys.empty() || !tree->keys.front().path.empty())
        std::abort();
    std::set<std::u16string> seen;
    for (const RegistryKeyRecord& key : tree->keys) {
        if (!key.path.empty()) {
            const std::size_t slash = key.path.rfind(u'\\');
            const std::u16string parent = slash == std::u16string::npos ? u"" : key.path.substr(0, slash);
            if (!seen.count(parent))
                std::abort();
        }
        if (!seen.insert(key.path).second)
            std::abort();
    }
    if (ParseRegistryExport(WriteRegistryExport(*tree)) != tree)
        std::abort();
    if (!StoredTreeInPlace(*tree, *tree))
        std::abort();
    return 0;
}
