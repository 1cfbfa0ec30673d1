// Conversions between the programs' UTF-16 text and the ANSI and UTF-8 forms of files.
#include "Text.h"

#include <windows.h>

namespace quor {

namespace {

std::string Narrow(UINT codePage, DWORD flags, std::wstring_view text, bool& ok) {
    ok = true;
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        ok = false;
        return {};
    }
    std::string out(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(codePage, flags, text.data(), length, out.data(), needed, nullptr, nullptr);
    return out;
}

std::wstring Widen(UINT codePage, DWORD flags, std::string_view text, bool& ok) {
    ok = true;
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        ok = false;
        return {};
    }
    std::wstring out(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), length, out.data(), needed);
    return out;
}

} // namespace

std::string ToAnsi(std::wstring_view text) {
    bool ok;
    return Narrow(CP_ACP, 0, text, ok);
}

std::wstring FromAnsi(std::string_view text) {
    bool ok;
    return Widen(CP_ACP, 0, text, ok);
}

bool ToUtf8(std::wstring_view text, std::string& out) {
    bool ok;
    out = Narrow(CP_UTF8, WC_ERR_INVALID_CHARS, text, ok);
    return ok;
}

std::string ToUtf8(std::wstring_view text) {
    bool ok;
    return Narrow(CP_UTF8, 0, text, ok);
}

bool FromUtf8(std::string_view text, std::wstring& out) {
    bool ok;
    out = Widen(CP_UTF8, MB_ERR_INVALID_CHARS, text, ok);
    return ok;
}

std::wstring TrimSpaces(std::wstring_view text) {
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(L' ');
    return std::wstring(text.substr(first, last - first + 1));
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

} // namespace quor
