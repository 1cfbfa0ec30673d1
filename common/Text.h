// Conversions between the programs' UTF-16 text and the ANSI and UTF-8 forms of files.
#pragma once

#include <string>
#include <string_view>

namespace quor {

// ANSI code page (CP_ACP) form; characters the code page lacks become its default char.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);

// UTF-8 form. ToUtf8 returns false for text that is not valid UTF-16 (lone surrogates).
bool ToUtf8(std::wstring_view text, std::string& out);
std::string ToUtf8(std::wstring_view text);
// FromUtf8 returns false for bytes that are not valid UTF-8.
bool FromUtf8(std::string_view text, std::wstring& out);

// Removes leading and trailing space characters (U+0020 only, nothing else).
std::wstring TrimSpaces(std::wstring_view text);

// Case-insensitive comparison the way the file system compares names.
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

} // namespace quor
