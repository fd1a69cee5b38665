// Helpers of the cleanup's Wine tests: what the program writes to standard
// output, files and folders made and removed in the prefix, and service keys
// in its registry.
#pragma once

#include <windows.h>

#include <iostream>
#include <sstream>
#include <string>

namespace cleanupwine {

// Collects what is written to std::cout while it lives.
class CapturedOutput {
public:
    CapturedOutput() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(previous_); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::string text() const { return buffer_.str(); }

private:
    std::stringstream buffer_;
    std::streambuf* previous_;
};

inline std::wstring WindowsDirectory()
{
    wchar_t directory[MAX_PATH] = {};
    GetWindowsDirectoryW(directory, MAX_PATH);
    return directory;
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

inline bool MakeFolder(const std::wstring& path, DWORD attributes = 0)
{
    if (!CreateDirectoryW(path.c_str(), nullptr))
        return false;
    return attributes == 0 || SetFileAttributesW(path.c_str(), attributes);
}

inline bool MakeFile(const std::wstring& path, const std::string& content = "x", DWORD attributes = 0)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = content.empty() ||
                    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    return ok && (attributes == 0 || SetFileAttributesW(path.c_str(), attributes));
}

// Removes a file or a folder with everything in it, whatever its attributes.
inline void RemoveTree(const std::wstring& path)
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

// Whether the key stands under HKEY_LOCAL_MACHINE.
inline bool KeyExists(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Makes (or opens) a service key under HKEY_LOCAL_MACHINE with the given ImagePath.
inline bool MakeService(const std::wstring& path, const std::wstring& imagePath, DWORD type = REG_EXPAND_SZ)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const LONG status = RegSetValueExW(key, L"ImagePath", 0, type, reinterpret_cast<const BYTE*>(imagePath.c_str()),
                                       static_cast<DWORD>((imagePath.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// Removes a key under HKEY_LOCAL_MACHINE with all its subkeys.
inline void RemoveKeyTree(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    wchar_t name[256];
    for (;;) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring child = path + L"\\" + name;
        RegCloseKey(key);
        RemoveKeyTree(child);
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
            return;
    }
    RegCloseKey(key);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

// Occurrences of `piece` in `text`.
inline int Count(const std::string& text, const std::string& piece)
{
    int n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size()))
        ++n;
    return n;
}

} // namespace cleanupwine
