#pragma once
// Text between the program (UTF-8 everywhere) and Windows (UTF-16 in every wide API).

#include <string>

// Invalid input (a lone surrogate, a stray byte) becomes U+FFFD; nothing is dropped silently.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// UTF-16 code units as they come from a device or an API, as code points.
std::u32string WideToUtf32(const wchar_t* text, size_t maxUnits);
