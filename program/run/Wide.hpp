// UTF-16 text is wchar_t on Windows and char16_t in the core; the two have
// the same size and encoding there.
#pragma once

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t is UTF-16 on Windows");

inline const char16_t* AsU16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
inline const wchar_t* AsWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline std::wstring ToWide(std::u16string_view text) { return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size()); }
inline std::u16string ToU16(std::wstring_view text) { return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size()); }
