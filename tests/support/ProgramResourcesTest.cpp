// What the built program files carry for Windows: the manifest that sets their rights, DPI
// awareness and controls, their version data, and the windowed programs' icons.
#include "QuorVersion.h"
#include "TestSupport.h"
#include "Text.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <vector>

using namespace quor::test;

namespace {

std::string Manifest(const std::wstring& program) {
    const HMODULE module = LoadLibraryExW(
        program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        return {};
    }
    std::string text;
    if (const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
        if (const HGLOBAL loaded = LoadResource(module, found)) {
            text.assign(static_cast<const char*>(LockResource(loaded)),
                        SizeofResource(module, found));
        }
    }
    FreeLibrary(module);
    return text;
}

std::wstring Wide(const char* utf8) {
    std::wstring text;
    quor::FromUtf8(utf8, text);
    return text;
}

bool Has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

struct VersionData {
    VS_FIXEDFILEINFO fixed{};
    std::wstring description, product, version, copyright, fileName;
};

std::optional<VersionData> ReadVersion(const std::wstring& program) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    std::vector<char> block(size);
    if (size == 0 || !GetFileVersionInfoW(program.c_str(), 0, size, block.data())) {
        return std::nullopt;
    }
    VersionData data;
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\", &value, &length) && length >= sizeof(data.fixed)) {
        data.fixed = *static_cast<VS_FIXEDFILEINFO*>(value);
    }
    const auto text = [&](const wchar_t* name) {
        const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
        return VerQueryValueW(block.data(), path.c_str(), &value, &length) && length > 0
                   ? std::wstring(static_cast<const wchar_t*>(value), length - 1)
                   : std::wstring();
    };
    data.description = text(L"FileDescription");
    data.product = text(L"ProductName");
    data.version = text(L"FileVersion");
    data.copyright = text(L"LegalCopyright");
    data.fileName = text(L"OriginalFilename");
    return data;
}

} // namespace

TEST(ProgramResourcesTest, ManifestsAskForTheRightsAndSettingsEachProgramNeeds) {
    for (const wchar_t* windowed : {L"KavSafe.exe", L"QuorPorts.exe"}) {
        SCOPED_TRACE(quor::ToUtf8(windowed));
        const std::string manifest = Manifest(BinProgram(windowed));
        EXPECT_TRUE(Has(manifest, R"(level="requireAdministrator")")) << manifest;
        EXPECT_TRUE(Has(manifest, ">true</dpiAware>"));
        EXPECT_TRUE(Has(manifest, ">system</dpiAwareness>"));
        EXPECT_TRUE(Has(manifest, R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"));
        // Windows 7 and Windows 10/11.
        EXPECT_TRUE(Has(manifest, "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"));
        EXPECT_TRUE(Has(manifest, "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"));
        // The settings file and the log stay in the system's ANSI code page.
        EXPECT_FALSE(Has(manifest, "activeCodePage"));
    }
    const std::string archiver = Manifest(BinProgram(L"bi.exe"));
    EXPECT_TRUE(Has(archiver, R"(level="asInvoker")")) << archiver;
    EXPECT_TRUE(Has(archiver, ">true</longPathAware>"));
    EXPECT_FALSE(Has(archiver, "requireAdministrator"));
}

TEST(ProgramResourcesTest, VersionDataAndIcons) {
    const struct {
        const wchar_t* file;
        const wchar_t* description;
    } programs[] = {{L"KavSafe.exe", L"QUOR备份管理"},
                    {L"QuorPorts.exe", L"QUOR服务端口配置"},
                    {L"bi.exe", L"QUOR 归档程序（RAR 命令格式）"}};
    for (const auto& program : programs) {
        SCOPED_TRACE(quor::ToUtf8(program.file));
        const std::optional<VersionData> data = ReadVersion(BinProgram(program.file));
        ASSERT_TRUE(data);
        EXPECT_EQ(data->description, program.description);
        EXPECT_EQ(data->fileName, program.file);
        EXPECT_EQ(data->product, Wide(QUOR_PRODUCT_NAME));
        EXPECT_EQ(data->version, Wide(QUOR_VERSION_TEXT));
        EXPECT_EQ(data->copyright.rfind(L"Copyright © ", 0), 0u) << quor::ToUtf8(data->copyright);
        EXPECT_EQ(data->fixed.dwFileVersionMS,
                  static_cast<DWORD>(QUOR_VERSION_MAJOR << 16 | QUOR_VERSION_MINOR));
        EXPECT_EQ(HIWORD(data->fixed.dwFileVersionLS), QUOR_VERSION_PATCH);
    }

    // Each window program has an icon of its own: KavSafe's is blue, QuorPorts' green.
    const auto iconColour = [](const wchar_t* file) {
        HICON icon = nullptr;
        if (ExtractIconExW(BinProgram(file).c_str(), 0, &icon, nullptr, 1) != 1) {
            return COLORREF{CLR_INVALID};
        }
        const HDC screen = GetDC(nullptr);
        const HDC dc = CreateCompatibleDC(screen);
        const HBITMAP bitmap = CreateCompatibleBitmap(screen, 32, 32);
        ReleaseDC(nullptr, screen);
        const HGDIOBJ old = SelectObject(dc, bitmap);
        DrawIconEx(dc, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL);
        const COLORREF colour = GetPixel(dc, 6, 26); // inside the drawing, off its details
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        DestroyIcon(icon);
        return colour;
    };
    const COLORREF kavsafe = iconColour(L"KavSafe.exe");
    EXPECT_GT(GetBValue(kavsafe), GetGValue(kavsafe)) << std::hex << kavsafe;
    const COLORREF quorports = iconColour(L"QuorPorts.exe");
    EXPECT_GT(GetGValue(quorports), GetRValue(quorports) + 40) << std::hex << quorports;
    EXPECT_GT(GetGValue(quorports), GetBValue(quorports) + 40) << std::hex << quorports;
}
