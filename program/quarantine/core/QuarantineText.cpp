#include "program/quarantine/core/QuarantineText.hpp"

#include "program/run/core/RunLog.hpp"

namespace {

constexpr char UpperDigits[] = "0123456789ABCDEF";
constexpr char LowerDigits[] = "0123456789abcdef";

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool NeedsEscape(char16_t c) { return c < 0x20 || c == 0x7F || c == u'%'; }

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// `count` hex digits at `text[at]`, either case.
std::optional<uint32_t> HexAt(std::string_view text, std::size_t at, std::size_t count)
{
    if (at > text.size() || text.size() - at < count)
        return std::nullopt;
    uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int digit = HexValue(text[at + i]);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

void AppendUtf16(std::u16string& out, uint32_t code)
{
    if (code < 0x10000) {
        out.push_back(static_cast<char16_t>(code));
    } else {
        code -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    }
}

// One UTF-8 sequence at `text[at]`: its code point and length, or nothing
// when it is malformed, overlong, a surrogate or beyond U+10FFFF.
std::optional<std::pair<uint32_t, std::size_t>> Utf8SequenceAt(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    uint32_t code = 0, minimum = 0;
    if (lead < 0x80)
        return std::pair<uint32_t, std::size_t>{lead, 1};
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - at < length)
        return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        code = code << 6 | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return std::nullopt;
    return std::pair<uint32_t, std::size_t>{code, length};
}

} // namespace

std::string EncodeFieldText(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t plainFrom = 0;
    auto flushPlain = [&](std::size_t to) {
        if (to > plainFrom)
            out += Utf8(text.substr(plainFrom, to - plainFrom));
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            ++i;
            continue;
        }
        if (!NeedsEscape(c) && !IsHighSurrogate(c) && !IsLowSurrogate(c))
            continue;
        flushPlain(i);
        plainFrom = i + 1;
        out.push_back('%');
        if (NeedsEscape(c)) {
            out.push_back(UpperDigits[c >> 4]);
            out.push_back(UpperDigits[c & 0xF]);
        } else {
            out.push_back('u');
            for (int shift = 12; shift >= 0; shift -= 4)
                out.push_back(UpperDigits[(c >> shift) & 0xF]);
        }
    }
    flushPlain(text.size());
    return out;
}

std::optional<std::u16string> DecodeFieldText(std::string_view value)
{
    std::u16string out;
    out.reserve(value.size());
    std::size_t at = 0;
    while (at < value.size()) {
        if (value[at] == '%') {
            if (at + 1 < value.size() && value[at + 1] == 'u') {
                const std::optional<uint32_t> unit = HexAt(value, at + 2, 4);
                if (!unit || *unit < 0xD800 || *unit > 0xDFFF)
                    return std::nullopt;
                out.push_back(static_cast<char16_t>(*unit));
                at += 6;
            } else {
                const std::optional<uint32_t> c = HexAt(value, at + 1, 2);
                if (!c || *c >= 0x80)
                    return std::nullopt;
                out.push_back(static_cast<char16_t>(*c));
                at += 3;
            }
            continue;
        }
        const auto sequence = Utf8SequenceAt(value, at);
        // Raw controls never come from the writer.
        if (!sequence || NeedsEscape(static_cast<char16_t>(sequence->first)))
            return std::nullopt;
        AppendUtf16(out, sequence->first);
        at += sequence->second;
    }
    return out;
}

std::optional<std::u16string> DecodeUtf8(std::string_view text, bool strict)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto sequence = Utf8SequenceAt(text, at);
        if (!sequence) {
            if (strict)
                return std::nullopt;
            out.push_back(u'\xFFFD');
            ++at;
            continue;
        }
        AppendUtf16(out, sequence->first);
        at += sequence->second;
    }
    return out;
}

std::string LowerHex(const uint8_t* bytes, std::size_t size)
{
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(LowerDigits[bytes[i] >> 4]);
        out.push_back(LowerDigits[bytes[i] & 0xF]);
    }
    return out;
}

std::optional<std::vector<uint8_t>> ParseLowerHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
        if (high < 0 || low < 0 || (text[i] >= 'A' && text[i] <= 'F') || (text[i + 1] >= 'A' && text[i + 1] <= 'F'))
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

bool IsLowerHexOfLength(std::string_view text, std::size_t digits)
{
    return text.size() == digits && ParseLowerHex(text).has_value();
}

std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t limit)
{
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (limit - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::string_view> CrlfLines::next()
{
    if (failed_ || atEnd())
        return std::nullopt;
    const std::size_t end = text_.find_first_of("\r\n", at_);
    if (end == std::string_view::npos || text_[end] != '\r' || end + 1 >= text_.size() || text_[end + 1] != '\n') {
        failed_ = true;
        return std::nullopt;
    }
    const std::string_view line = text_.substr(at_, end - at_);
    at_ = end + 2;
    return line;
}

std::optional<std::string_view> FieldValue(std::string_view line, std::string_view name)
{
    if (line.size() < name.size() + 2 || line.substr(0, name.size()) != name || line.substr(name.size(), 2) != ": ")
        return std::nullopt;
    return line.substr(name.size() + 2);
}

std::optional<std::string_view> NextField(CrlfLines& lines, std::string_view name)
{
    const std::optional<std::string_view> line = lines.next();
    if (!line)
        return std::nullopt;
    return FieldValue(*line, name);
}

std::optional<std::u16string> NextTextField(CrlfLines& lines, std::string_view name)
{
    const std::optional<std::string_view> value = NextField(lines, name);
    if (!value)
        return std::nullopt;
    return DecodeFieldText(*value);
}

void AppendField(std::string& out, std::string_view name, std::string_view value)
{
    out.append(name).append(": ").append(value).append("\r\n");
}

void AppendTextField(std::string& out, std::string_view name, std::u16string_view value)
{
    AppendField(out, name, EncodeFieldText(value));
}
