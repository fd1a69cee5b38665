// Benchmarks of the cleanup under Wine (not tests): the rootkit folder
// purge over a deep chain and over a wide tree, and the service registry
// cleanup over many service keys. Prints one line per measurement.
//   cleanup_bench.exe chain DEPTH...          nested folders, a read-only "@" in each
//   cleanup_bench.exe tree FOLDERS FANOUT     a tree of FOLDERS folders, a read-only "@" in each
//   cleanup_bench.exe registry KEYS...        KEYS service keys, the last one matching

#include "program/cleanup/FileSystemPurge.hpp"
#include "program/run/RemovalContext.hpp"

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

namespace {

double Seconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring WindowsDirectory()
{
    wchar_t directory[MAX_PATH] = {};
    GetWindowsDirectoryW(directory, MAX_PATH);
    return directory;
}

const std::wstring RootName = L"$NtUninstallKBbench$";

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                RemoveTree(path + L"\\" + name);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

bool MakeReadOnlyAt(const std::wstring& folder)
{
    const std::wstring path = folder + L"\\@";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
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
    PurgeOperations operations = FileSystemPurgeOperations();
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
        HKEY key = nullptr;
        for (long i = 0; i < count; ++i) {
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, (services + ServiceName(i)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
            // The last in enumeration order names the hidden image.
            const std::wstring image = i == count - 1 ? L"C:\\WINDOWS\\bench.dll:x.exe" : L"C:\\WINDOWS\\system32\\svc.exe";
            RegSetValueExW(key, L"ImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                           static_cast<DWORD>((image.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
        RemovalContext context;
        std::stringstream sink;
        std::streambuf* console = std::cout.rdbuf(sink.rdbuf());
        const double start = Seconds();
        const bool result = context.CleanServiceRegistry(L"bench.dll:x.exe");
        const double elapsed = Seconds() - start;
        std::cout.rdbuf(console);
        HKEY probe = nullptr;
        const bool deleted = RegOpenKeyExW(HKEY_LOCAL_MACHINE, (services + ServiceName(count - 1)).c_str(), 0,
                                           KEY_READ, &probe) != ERROR_SUCCESS;
        if (probe != nullptr)
            RegCloseKey(probe);
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
