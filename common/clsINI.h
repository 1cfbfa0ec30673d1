// The settings store: a thin wrapper over the Windows profile functions for settings.ini.
#pragma once

#include <cstdint>
#include <string>

namespace quor {

// Reads and writes one INI file in the system's ANSI code page. Section and key names are
// matched without regard to case. Nothing here throws; failures leave a text in ErrorMsg.
class clsINI {
public:
    // Text of the last failure: "没有指定 INI 文件", "写入失败", "不能读取", or "".
    std::wstring ErrorMsg;

    // Full path of the INI file, stored without leading and trailing spaces.
    void IniName(const std::wstring& vData);
    const std::wstring& IniName() const { return m_iniName; }

    // Writes key=Value, creating the file and the section as needed. True when written.
    bool WriteString(const std::wstring& Section, const std::wstring& key,
                     const std::wstring& Value);

    // The stored value, or defaultvalue when the key or the file is absent, cut to at most
    // Size - 1 bytes of its ANSI form (never inside a two-byte character) and trimmed of
    // spaces. Without a file name, defaultvalue is returned as given.
    std::wstring ReadString(const std::wstring& Section, const std::wstring& key, int32_t Size,
                            const std::wstring& defaultvalue);

    // The stored number (a value without leading digits reads as 0), or defaultvalue when
    // the key is absent.
    int32_t ReadInt(const std::wstring& Section, const std::wstring& key, int16_t defaultvalue);

    // Creates iniPath with the text cf when no file exists there; an existing file is left
    // untouched. Returns false when the file was missing and could not be written.
    bool chkINI(const std::wstring& iniPath, const std::wstring& cf);

private:
    bool IniNameMissing();

    std::wstring m_iniName;
};

} // namespace quor
