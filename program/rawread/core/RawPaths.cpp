#include "program/rawread/core/RawPaths.hpp"

#include "program/rawread/core/BoundedString.hpp"
#include "program/rawread/core/RawErrors.hpp"

namespace {

char16_t FoldAscii(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

} // namespace

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (FoldAscii(text[i]) != FoldAscii(prefix[i]))
            return false;
    return true;
}

DevicePathResult DevicePathFor(std::u16string_view canonicalPath, std::u16string_view deviceText)
{
    DevicePathResult result;
    if (canonicalPath.size() >= RawPathBufferChars) {
        result.error = RawError::FilenameExcedRange;
        return result;
    }
    if (StartsWithNoCase(deviceText, u"\\Device\\Harddisk")) {
        result.devicePath = std::u16string(canonicalPath);
        return result;
    }

    std::u16string_view target;
    if (StartsWithNoCase(deviceText, u"\\??\\"))
        target = deviceText.substr(4);
    else if (StartsWithNoCase(deviceText, u"\\DosDevices\\"))
        target = deviceText.substr(12);
    else {
        result.error = RawError::BadPathname;
        return result;
    }
    // "\??\C:\" (a drive substituted for another drive's root) would give a
    // doubled separator; the join supplies the one separator.
    while (!target.empty() && target.back() == u'\\')
        target.remove_suffix(1);
    // The canonical path is "X:\below": keep everything below the root.
    if (canonicalPath.size() < 4 || canonicalPath[1] != u':' || canonicalPath[2] != u'\\' || target.empty()) {
        result.error = RawError::BadPathname;
        return result;
    }
    const std::u16string targetText(target);
    const std::u16string below(canonicalPath.substr(3));
    char16_t buffer[RawPathBufferChars];
    if (BoundedFormat(buffer, RawPathBufferChars, u"%s\\%s", {targetText.c_str(), below.c_str()}) != BoundedOk) {
        result.error = RawError::FilenameExcedRange;
        return result;
    }
    result.devicePath = buffer;
    return result;
}
