#include "program/deploy/core/DriverPath.hpp"

const char16_t* const DriverFileName = u"KorvaleNoQuorVallin.sys";

std::optional<std::u16string> DriverFilePath(std::u16string_view tempFolder)
{
    const std::u16string_view name = DriverFileName;
    if (tempFolder.empty() || tempFolder.size() + name.size() + 1 > MaxPathChars)
        return std::nullopt;
    std::u16string path(tempFolder);
    path += name;
    return path;
}
