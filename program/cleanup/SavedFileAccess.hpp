// Keeps the DACL of a file or folder as it was before the program opened it
// up with ResetFileAccess, and writes it back when the program is done with
// the object. Without it every system driver the scan reads would stay
// writable by everyone after the run.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class SavedFileAccess {
public:
    // Reads the object's DACL (with its protection flag). When it cannot be
    // read there is nothing to write back.
    explicit SavedFileAccess(const wchar_t* path);
    // Writes the saved DACL back to whatever object stands at the path.
    ~SavedFileAccess();

    SavedFileAccess(const SavedFileAccess&) = delete;
    SavedFileAccess& operator=(const SavedFileAccess&) = delete;

    bool saved() const { return !descriptor_.empty(); }

private:
    std::wstring path_;
    std::vector<BYTE> descriptor_; // self-relative, DACL only
};
