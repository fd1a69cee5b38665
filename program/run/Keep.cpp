// What the repair removes is kept before it is removed.

#include "program/run/RemovalContext.hpp"

bool RemovalContext::RemoveKeepingCopy(const std::wstring& path, const std::string&, const std::string&)
{
    return DeleteFileW(path.c_str()) != FALSE;
}

std::u16string RemovalContext::QuarantineFolder() const
{
    return {};
}
