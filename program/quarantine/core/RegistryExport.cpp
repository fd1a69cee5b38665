#include "program/quarantine/core/RegistryExport.hpp"

#include "program/quarantine/core/QuarantineText.hpp"

#include <algorithm>
#include <map>
#include <set>

namespace {

const std::string_view Title = "KorvaleNoQuorVallin registry export, format 1";
const std::string_view Closing = "End of export";
constexpr uint64_t TypeLimit = 0xFFFFFFFFull;

// A key path other than the root's: names that are not empty and hold no
// backslash, joined by single backslashes. Its parent is what precedes the
// last one ("" for a direct subkey).
std::optional<std::u16string> ParentOf(std::u16string_view path)
{
    if (path.empty() || path.front() == u'\\' || path.back() == u'\\' ||
        path.find(u"\\\\") != std::u16string_view::npos)
        return std::nullopt;
    const std::size_t last = path.rfind(u'\\');
    return std::u16string(last == std::u16string_view::npos ? std::u16string_view() : path.substr(0, last));
}

std::optional<RegistryValue> ParseValue(std::string_view nameField, CrlfLines& lines)
{
    std::optional<std::u16string> name = DecodeFieldText(nameField);
    const std::optional<std::string_view> type = name ? NextField(lines, "Type") : std::nullopt;
    const std::optional<uint64_t> parsedType = type ? ParseDecimal(*type, TypeLimit) : std::nullopt;
    const std::optional<std::string_view> data = parsedType ? NextField(lines, "Data") : std::nullopt;
    std::optional<std::vector<uint8_t>> bytes = data ? ParseLowerHex(*data) : std::nullopt;
    if (!bytes)
        return std::nullopt;
    return RegistryValue{std::move(*name), static_cast<uint32_t>(*parsedType), std::move(*bytes)};
}

} // namespace

std::string WriteRegistryExport(const RegistryExport& tree)
{
    std::string out;
    out.append(Title).append("\r\n");
    AppendTextField(out, "Root", tree.root);
    for (const RegistryKeyRecord& key : tree.keys) {
        AppendTextField(out, "Key", key.path);
        for (const RegistryValue& value : key.values) {
            AppendTextField(out, "Value", value.name);
            AppendField(out, "Type", std::to_string(value.type));
            AppendField(out, "Data", LowerHex(value.data.data(), value.data.size()));
        }
    }
    return out.append(Closing).append("\r\n");
}

std::optional<RegistryExport> ParseRegistryExport(std::string_view text)
{
    CrlfLines lines(text);
    if (lines.next() != Title)
        return std::nullopt;
    RegistryExport tree;
    std::optional<std::u16string> root = NextTextField(lines, "Root");
    if (!root)
        return std::nullopt;
    tree.root = std::move(*root);

    std::set<std::u16string> keyPaths;
    std::set<std::u16string> valueNames; // of the current key
    for (;;) {
        const std::optional<std::string_view> line = lines.next();
        if (!line)
            return std::nullopt;
        if (*line == Closing)
            break;
        if (const std::optional<std::string_view> keyField = FieldValue(*line, "Key")) {
            std::optional<std::u16string> path = DecodeFieldText(*keyField);
            if (!path)
                return std::nullopt;
            if (tree.keys.empty() ? !path->empty() : !keyPaths.count(ParentOf(*path).value_or(u"\\")))
                return std::nullopt;
            if (!keyPaths.insert(*path).second)
                return std::nullopt;
            tree.keys.push_back(RegistryKeyRecord{std::move(*path), {}});
            valueNames.clear();
        } else if (const std::optional<std::string_view> valueField = FieldValue(*line, "Value")) {
            if (tree.keys.empty())
                return std::nullopt;
            std::optional<RegistryValue> value = ParseValue(*valueField, lines);
            if (!value || !valueNames.insert(value->name).second)
                return std::nullopt;
            tree.keys.back().values.push_back(std::move(*value));
        } else {
            return std::nullopt;
        }
    }
    if (tree.keys.empty() || !lines.atEnd())
        return std::nullopt;
    return tree;
}

bool StoredTreeInPlace(const RegistryExport& stored, const RegistryExport& current)
{
    if (stored.root != current.root)
        return false;
    std::map<std::u16string, const RegistryKeyRecord*> currentKeys;
    for (const RegistryKeyRecord& key : current.keys)
        currentKeys.emplace(key.path, &key);
    auto byName = [](const RegistryValue& a, const RegistryValue& b) { return a.name < b.name; };
    for (const RegistryKeyRecord& key : stored.keys) {
        const auto found = currentKeys.find(key.path);
        if (found == currentKeys.end())
            return false;
        std::vector<RegistryValue> want = key.values, have = found->second->values;
        std::sort(want.begin(), want.end(), byName);
        std::sort(have.begin(), have.end(), byName);
        if (want != have)
            return false;
    }
    return true;
}

bool HasNameWithNul(const RegistryExport& tree)
{
    for (const RegistryKeyRecord& key : tree.keys) {
        if (key.path.find(u'\0') != std::u16string::npos)
            return true;
        for (const RegistryValue& value : key.values)
            if (value.name.find(u'\0') != std::u16string::npos)
                return true;
    }
    return false;
}
