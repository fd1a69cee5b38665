// The text of the quarantine's files (the manifest and the registry
// export): one "Name: value" field a line, lines ended by CRLF, values in
// UTF-8 with every character that could break a line or hide in it written
// as an escape. Readers treat the text as hostile: every line must end in
// CRLF, every escape and UTF-8 sequence must be whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A field's value as text: UTF-8, with '%', the controls U+0000..U+001F and
// U+007F as "%XX" (two upper-case hex digits), and a surrogate without its
// partner as "%uXXXX", so that any UTF-16 string, a hostile registry name
// included, comes back exactly.
std::string EncodeFieldText(std::u16string_view text);
// The inverse; nothing when the value is not well-formed UTF-8 or holds a
// malformed escape.
std::optional<std::u16string> DecodeFieldText(std::string_view value);

// UTF-8 as UTF-16. Strict: nothing for any malformed, overlong or surrogate
// sequence. Lenient: each of those becomes U+FFFD.
std::optional<std::u16string> DecodeUtf8(std::string_view text, bool strict);

// Bytes as lower-case hexadecimal, and back (nothing for an odd length or a
// character other than 0-9 a-f).
std::string LowerHex(const uint8_t* bytes, std::size_t size);
std::optional<std::vector<uint8_t>> ParseLowerHex(std::string_view text);
// Whether the text is exactly `digits` lower-case hexadecimal characters.
bool IsLowerHexOfLength(std::string_view text, std::size_t digits);

// A decimal number without sign or leading zeros, at most `limit`.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t limit);

// The lines of a text, each ended by CRLF. next() gives the next line
// without its CRLF; nothing at the end, and nothing (with failed() set)
// where a line has a lone CR or LF or the text ends without a CRLF.
class CrlfLines {
public:
    explicit CrlfLines(std::string_view text) : text_(text) {}
    std::optional<std::string_view> next();
    bool atEnd() const { return at_ == text_.size(); }
    bool failed() const { return failed_; }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

// The line's value when it is "<name>: <value>"; nothing otherwise.
std::optional<std::string_view> FieldValue(std::string_view line, std::string_view name);
// The next line's value when it is "<name>: <value>"; nothing otherwise.
std::optional<std::string_view> NextField(CrlfLines& lines, std::string_view name);
// The next field's value, decoded; nothing when it is absent or malformed.
std::optional<std::u16string> NextTextField(CrlfLines& lines, std::string_view name);

// "<name>: <value>" with its CRLF, appended.
void AppendField(std::string& out, std::string_view name, std::string_view value);
void AppendTextField(std::string& out, std::string_view name, std::u16string_view value);
