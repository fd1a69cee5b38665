#include "program/cleanup/SavedFileAccess.hpp"

SavedFileAccess::SavedFileAccess(const wchar_t* path) : path_(path != nullptr ? path : L"")
{
    if (path_.empty())
        return;
    DWORD needed = 0;
    GetFileSecurityW(path_.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0)
        return;
    std::vector<BYTE> buffer(needed);
    if (GetFileSecurityW(path_.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed))
        descriptor_ = std::move(buffer);
}

SavedFileAccess::~SavedFileAccess()
{
    // SetFileSecurityW writes only the object named, as the reset did: a
    // folder's children are not touched.
    if (saved())
        SetFileSecurityW(path_.c_str(), DACL_SECURITY_INFORMATION, descriptor_.data());
}
