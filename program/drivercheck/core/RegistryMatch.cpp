#include "program/drivercheck/core/RegistryMatch.hpp"

void AddServiceName(ServiceNames& collection, std::u16string_view name)
{
    collection.names.emplace_back(name);
}

bool ImagePathNamesImage(const uint8_t* value, std::size_t valueBytes, std::u16string_view imageName)
{
    if (imageName.empty() || value == nullptr)
        return false;
    std::u16string text;
    text.reserve(valueBytes / 2);
    for (std::size_t i = 0; i + 1 < valueBytes; i += 2) {
        const char16_t c = static_cast<char16_t>(value[i] | value[i + 1] << 8);
        if (c == u'\0')
            break;
        text.push_back(c);
    }
    return text.find(imageName) != std::u16string::npos;
}

std::optional<std::size_t> FirstServiceNamingImage(const ServiceNames& collection,
                                                   std::u16string_view imageName,
                                                   const ReadImagePath& readImagePath)
{
    if (imageName.empty())
        return std::nullopt;
    for (std::size_t i = 0; i < collection.names.size(); ++i) {
        const std::optional<std::vector<uint8_t>> value = readImagePath(ServiceKeyPath(collection.names[i]));
        if (value && ImagePathNamesImage(value->data(), value->size(), imageName))
            return i;
    }
    return std::nullopt;
}

std::u16string ServiceKeyPath(std::u16string_view name)
{
    std::u16string path(ServicesKeyPrefix);
    path.append(name);
    return path;
}

std::array<std::u16string, 3> ServiceKeysToDelete(std::u16string_view name)
{
    const std::u16string_view prefixes[3] = {
        u"SYSTEM\\ControlSet001\\Services\\",
        u"SYSTEM\\ControlSet002\\Services\\",
        u"SYSTEM\\CurrentControlSet\\Services\\",
    };
    std::array<std::u16string, 3> paths;
    for (std::size_t i = 0; i < paths.size(); ++i)
        paths[i] = std::u16string(prefixes[i]).append(name);
    return paths;
}

ConsoleScript ServiceKeysReport(bool anyDeleted)
{
    if (!anyDeleted)
        return {};
    return DisinfectedReport("QuorVallin Registry key");
}

ConsoleScript ServicesKeyUnopenedReport()
{
    return {TextPiece("unable to open SYSTEM\\ControlSet001\\Services . \n")};
}
