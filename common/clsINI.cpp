// The settings store: a thin wrapper over the Windows profile functions for settings.ini.
#include "clsINI.h"

#include "Files.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <windows.h>

namespace quor {

namespace {

// Cuts the ANSI form of text to at most maxBytes bytes without splitting a two-byte
// character, the way a byte buffer of the profile functions' ANSI entry points holds it.
std::wstring CutAnsi(const std::wstring& text, size_t maxBytes) {
    const std::string ansi = ToAnsi(text);
    if (ansi.size() <= maxBytes) {
        return text;
    }
    size_t end = 0;
    while (end < ansi.size()) {
        const size_t step = IsDBCSLeadByte(static_cast<BYTE>(ansi[end])) ? 2 : 1;
        if (end + step > maxBytes) {
            break;
        }
        end += step;
    }
    return FromAnsi(std::string_view(ansi).substr(0, end));
}

// The whole value as the profile function delivers it, however long.
std::wstring ReadProfileValue(const std::wstring& section, const std::wstring& key,
                              const std::wstring& defaultValue, const std::wstring& file) {
    std::wstring buffer(1024, L'\0');
    for (;;) {
        const DWORD length = GetPrivateProfileStringW(
            section.c_str(), key.c_str(), defaultValue.c_str(), buffer.data(),
            static_cast<DWORD>(buffer.size()), file.c_str());
        // A result of size - 1 means the value may have been cut: try a larger buffer.
        if (length + 1 < buffer.size() || buffer.size() >= 65536) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 4);
    }
}

} // namespace

void clsINI::IniName(const std::wstring& vData) {
    m_iniName = TrimSpaces(vData);
}

bool clsINI::IniNameMissing() {
    if (m_iniName.empty()) {
        ErrorMsg = L"没有指定 INI 文件";
        return true;
    }
    ErrorMsg.clear();
    return false;
}

bool clsINI::WriteString(const std::wstring& Section, const std::wstring& key,
                         const std::wstring& Value) {
    if (IniNameMissing()) {
        return false;
    }
    // The profile functions keep a file without a byte-order mark in the ANSI code page.
    if (!WritePrivateProfileStringW(Section.c_str(), key.c_str(), Value.c_str(),
                                    m_iniName.c_str())) {
        ErrorMsg = L"写入失败";
        return false;
    }
    return true;
}

std::wstring clsINI::ReadString(const std::wstring& Section, const std::wstring& key, int32_t Size,
                                const std::wstring& defaultvalue) {
    if (IniNameMissing()) {
        return defaultvalue;
    }
    if (Size <= 1) {
        return {};
    }
    const std::wstring value = ReadProfileValue(Section, key, defaultvalue, m_iniName);
    return TrimSpaces(CutAnsi(value, static_cast<size_t>(Size) - 1));
}

int32_t clsINI::ReadInt(const std::wstring& Section, const std::wstring& key,
                        int16_t defaultvalue) {
    // Two reads with different defaults tell a stored 0 from an absent key.
    const UINT v = GetPrivateProfileIntW(Section.c_str(), key.c_str(), 0, m_iniName.c_str());
    if (v != 0) {
        return static_cast<int32_t>(v);
    }
    const UINT w = GetPrivateProfileIntW(Section.c_str(), key.c_str(), 1, m_iniName.c_str());
    if (w == 1) {
        ErrorMsg = L"不能读取";
        return defaultvalue;
    }
    return static_cast<int32_t>(w);
}

bool clsINI::chkINI(const std::wstring& iniPath, const std::wstring& cf) {
    if (PathExists(iniPath)) {
        return true;
    }
    FileHandle file(CreateFileW(iniPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    const std::string text = ToAnsi(cf);
    DWORD written = 0;
    return text.empty() || (WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()),
                                      &written, nullptr) &&
                            written == text.size());
}

} // namespace quor
