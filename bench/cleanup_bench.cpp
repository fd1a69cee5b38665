// Benchmarks of the cleanup under Wine (not tests): the rootkit folder
// purge over a deep chain and over a wide tree, and the service registry
// cleanup over many service keys. Prints one line per measurement.
//   cleanup_bench.exe chain DEPTH...          nested folders, a read-only "@" in each
//   cleanup_bench.exe tree FOLDERS FANOUT     a tree of FOLDERS folders, a read-only "@" in each
//   cleanup_bench.exe registry KEYS...        KEYS service keys, the last one matching

#include "program/cleanup/FileSystemPurge.hpp"
#include "program/run/RemovalContext.hpp"
#include "tests/wine/CleanupWine.hpp"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace cleanupwine;

namespace {

double Seconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

const std::wstring RootName = L"$NtUninstallKBbench$";

bool MakeReadOnlyAt(const std::wstring& folder)
{
    return MakeFile(folder + L"\\@", "", FILE_ATTRIBUTE_READONLY);
}

// Listings per folder and deletion attempts, counted around the real operations.
struct WalkCounts {
    std::map<std::u16string, int> listings;
    long deleteAttempts = 0;
    int maxListings() const
    {
        int most = 0;
        for (const auto& [folder, n] : listings)
            most = n > most ? n : most;
        return most;
    }
    long totalListings() const
    {
        long total = 0;
        for (const auto& [folder, n] : listings)
            total += n;
        return total;
    }
};

WalkCounts CountedPurge(const std::wstring& root)
{
    WalkCounts counts;
    RemovalContext context;
    PurgeOperations operations = FileSystemPurgeOperations(context);
    const auto list = operations.forEachEntry;
    operations.forEachEntry = [&](const std::u16string& pattern, const std::function<void(const PurgeEntry&)>& visit) {
        ++counts.listings[pattern];
        return list(pattern, visit);
    };
    const auto remove = operations.deleteFile;
    operations.deleteFile = [&](const std::u16string& path) {
        ++counts.deleteAttempts;
        return remove(path);
    };
    PurgeFolderTree(std::u16string(reinterpret_cast<const char16_t*>(root.c_str())), operations);
    return counts;
}

// One plain walk of the tree: each folder listed once, nothing changed.
// The yardstick for what a single visit of every folder costs on these paths.
long PlainWalk(const std::wstring& folder, long long& pathChars)
{
    long folders = 1;
    pathChars += static_cast<long long>(folder.size());
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return folders;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L".." && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            folders += PlainWalk(folder + L"\\" + name, pathChars);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return folders;
}

// Times RemoveRootkitFolder on the prepared tree against one plain walk of
// it, then counts a second purge's walks (the tree is unchanged: every "@"
// is read-only).
// Each time is the best of three runs (the machine is shared).
void MeasurePurge(const char* label, long folders, const std::wstring& root)
{
    double plain = 1e9, elapsed = 1e9;
    long walked = 0;
    long long pathChars = 0;
    for (int run = 0; run < 3; ++run) {
        pathChars = 0;
        const double plainStart = Seconds();
        walked = PlainWalk(root, pathChars);
        plain = std::min(plain, Seconds() - plainStart);
        RemovalContext context;
        const double start = Seconds();
        context.RemoveRootkitFolder();
        elapsed = std::min(elapsed, Seconds() - start);
    }
    const WalkCounts counts = CountedPurge(root);
    std::printf("%s folders=%ld path_chars=%lld purge_s=%.3f us_per_folder=%.1f ns_per_path_char=%.1f "
                "plain_walk_s=%.3f purge_over_plain=%.2f listings=%ld max_listings_per_folder=%d "
                "delete_attempts=%ld\n",
                label, folders, pathChars, elapsed, elapsed * 1e6 / static_cast<double>(folders),
                elapsed * 1e9 / static_cast<double>(pathChars), plain, elapsed / plain, counts.totalListings(),
                counts.maxListings(), counts.deleteAttempts);
    if (walked != folders)
        std::printf("  (the plain walk reached %ld folders)\n", walked);
    std::fflush(stdout);
}

int Chain(const std::vector<long>& depths)
{
    const std::wstring root = WindowsDirectory() + L"\\" + RootName;
    for (long depth : depths) {
        RemoveTree(root);
        CreateDirectoryW(root.c_str(), nullptr);
        MakeReadOnlyAt(root);
        std::wstring path = root;
        long made = 0;
        for (; made < depth; ++made) {
            if (path.size() + 2 + 2 > 499)
                break;
            path += L"\\d";
            if (!CreateDirectoryW(path.c_str(), nullptr) || !MakeReadOnlyAt(path)) {
                std::printf("chain: could not make level %ld (path of %zu characters), error %lu\n", made + 1,
                            path.size(), GetLastError());
                break;
            }
        }
        char label[64];
        std::snprintf(label, sizeof label, "chain depth=%ld deepest_path=%zu", made, path.size());
        MeasurePurge(label, made + 1, root);
    }
    RemoveTree(root);
    return 0;
}

int Tree(long folders, long fanout)
{
    const std::wstring root = WindowsDirectory() + L"\\" + RootName;
    RemoveTree(root);
    CreateDirectoryW(root.c_str(), nullptr);
    MakeReadOnlyAt(root);
    std::deque<std::wstring> open{root};
    long made = 1;
    const double start = Seconds();
    while (made < folders && !open.empty()) {
        const std::wstring parent = open.front();
        open.pop_front();
        for (long i = 0; i < fanout && made < folders; ++i, ++made) {
            const std::wstring child = parent + L"\\f" + std::to_wstring(i);
            CreateDirectoryW(child.c_str(), nullptr);
            MakeReadOnlyAt(child);
            open.push_back(child);
        }
    }
    std::fprintf(stderr, "tree of %ld folders made in %.1f s\n", made, Seconds() - start);
    char label[64];
    std::snprintf(label, sizeof label, "tree fanout=%ld", fanout);
    MeasurePurge(label, made, root);
    RemoveTree(root);
    return 0;
}

// Service names of one character each, from a range without letter case:
// the collection allows 4096 names but only 8192 characters of name text.
std::wstring ServiceName(long i) { return std::wstring(1, static_cast<wchar_t>(0x4E00 + i)); }

int Registry(const std::vector<long>& counts)
{
    const std::wstring services = L"SYSTEM\\ControlSet001\\Services\\";
    for (long count : counts) {
        for (long i = 0; i < count; ++i) {
            // The last in enumeration order names the hidden image.
            const std::wstring image = i == count - 1 ? L"C:\\WINDOWS\\bench.dll:x.exe" : L"C:\\WINDOWS\\system32\\svc.exe";
            MakeService(services + ServiceName(i), image);
        }
        RemovalContext context;
        std::stringstream sink;
        std::streambuf* console = std::cout.rdbuf(sink.rdbuf());
        const double start = Seconds();
        const bool result = context.CleanServiceRegistry(L"bench.dll:x.exe") == CleanupResult::Done;
        const double elapsed = Seconds() - start;
        std::cout.rdbuf(console);
        const bool deleted = !KeyExists(services + ServiceName(count - 1));
        std::printf("registry keys=%ld result=%d matched_key_deleted=%d reported=%d seconds=%.3f us_per_key=%.1f\n",
                    count, result, deleted, sink.str().find("Disinfected") != std::string::npos, elapsed,
                    elapsed * 1e6 / static_cast<double>(count));
        std::fflush(stdout);
        for (long i = 0; i < count; ++i)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, (services + ServiceName(i)).c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: cleanup_bench chain DEPTH... | tree FOLDERS FANOUT | registry KEYS...\n");
        return 2;
    }
    const std::string mode = argv[1];
    std::vector<long> numbers;
    for (int i = 2; i < argc; ++i)
        numbers.push_back(std::strtol(argv[i], nullptr, 10));
    if (mode == "chain")
        return Chain(numbers);
    if (mode == "tree" && numbers.size() == 2)
        return Tree(numbers[0], numbers[1]);
    if (mode == "registry")
        return Registry(numbers);
    return 2;
}
