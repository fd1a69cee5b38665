// The decisions of the service registry cleanup: collecting the service
// names, recognising the service whose ImagePath names the hidden image,
// the key paths to delete, and the report.
#pragma once

#include "program/run/core/Console.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::u16string_view ServicesKeyPath = u"SYSTEM\\ControlSet001\\Services";
inline constexpr std::u16string_view ServicesKeyPrefix = u"SYSTEM\\ControlSet001\\Services\\";

// The enumeration's name buffer. The registry keeps key names far shorter,
// so every name fits; how many there are is not bounded here.
constexpr std::size_t ServiceNameBufferChars = 1024;
constexpr std::size_t ImagePathBufferBytes = 1024;

// The service names in enumeration order, every one of them.
struct ServiceNames {
    std::vector<std::u16string> names;
};

void AddServiceName(ServiceNames& collection, std::u16string_view name);

// The enumeration ended at its status: ERROR_NO_MORE_ITEMS (259) is the end
// of the list; any other status (a name that did not fit the buffer, a
// failure of the registry) cut the list short.
constexpr int32_t NoMoreItemsStatus = 259;
inline bool EnumerationReachedTheEnd(int32_t status) { return status == NoMoreItemsStatus; }

// True when the ImagePath value holds the image name, case-sensitively,
// anywhere in it. The value is read as UTF-16 only within the bytes the
// registry returned, up to its first NUL if it has one; an odd last byte is
// ignored. An empty image name matches nothing.
bool ImagePathNamesImage(const uint8_t* value, std::size_t valueBytes, std::u16string_view imageName);

// The ImagePath of one service key: its bytes, or nothing when the key
// cannot be opened or the value is missing or does not fit 1024 bytes.
using ReadImagePath = std::function<std::optional<std::vector<uint8_t>>(const std::u16string& keyPath)>;

// The index of the first service, in collection order, whose ImagePath
// names the image; nothing when none does or the name is empty.
std::optional<std::size_t> FirstServiceNamingImage(const ServiceNames& collection,
                                                   std::u16string_view imageName,
                                                   const ReadImagePath& readImagePath);

// The key examined for a service ("%ws%ws" under ControlSet001).
std::u16string ServiceKeyPath(std::u16string_view name);

// The keys deleted for a service, in order: under ControlSet001,
// ControlSet002 and CurrentControlSet.
std::array<std::u16string, 3> ServiceKeysToDelete(std::u16string_view name);

// What the cleanup writes: the report when at least one deletion
// succeeded, nothing otherwise.
ConsoleScript ServiceKeysReport(bool anyDeleted);
ConsoleScript ServicesKeyUnopenedReport();
