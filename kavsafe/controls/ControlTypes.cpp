// The value types the button control shares with its host: colours, pictures and the
// property bag.
#include "gwButtons_H.h"

#include "GdiHandles.h"

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <cwctype>
#include <vector>

namespace kavsafe::controls {

COLORREF ToRGB(OleColor colour) {
    if (colour & 0x80000000u) {
        return GetSysColor(static_cast<int>(colour & 0xFF));
    }
    return static_cast<COLORREF>(colour);
}

// ---------------------------------------------------------------------------------------
// Picture

std::shared_ptr<Picture> Picture::FromBitmap(HBITMAP bitmap) {
    if (!bitmap) {
        return nullptr;
    }
    return std::shared_ptr<Picture>(new Picture(Kind::Bitmap, bitmap));
}

std::shared_ptr<Picture> Picture::FromIcon(HICON icon) {
    if (!icon) {
        return nullptr;
    }
    return std::shared_ptr<Picture>(new Picture(Kind::Icon, icon));
}

Picture::~Picture() {
    if (m_kind == Kind::Bitmap) {
        DeleteObject(m_handle);
    } else {
        DestroyIcon(static_cast<HICON>(m_handle));
    }
}

namespace {

std::wstring LowerExtension(const std::wstring& path) {
    const auto dot = path.find_last_of(L'.');
    const auto slash = path.find_last_of(L"\\/");
    if (dot == std::wstring::npos || (slash != std::wstring::npos && slash > dot)) {
        return L"";
    }
    std::wstring ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return ext;
}

struct ComRelease {
    void operator()(IUnknown* p) const {
        if (p) {
            p->Release();
        }
    }
};

// The whole file, or nothing when it cannot be read or is too large to be a picture.
std::vector<char> ReadFileBytes(const std::wstring& path) {
    std::vector<char> bytes;
    const quor::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    // Pictures are small; anything beyond 64 MiB is not one.
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        size.QuadPart > 64 * 1024 * 1024) {
        return bytes;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read != bytes.size()) {
        bytes.clear();
    }
    return bytes;
}

// Decodes a JPEG (or GIF) file through the platform's picture loader; the bitmap it hands
// out belongs to the picture object, so a copy is returned.
HBITMAP LoadWithOle(const std::wstring& path) {
    const std::vector<char> bytes = ReadFileBytes(path);
    if (bytes.empty()) {
        return nullptr;
    }
    const bool comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    HBITMAP result = nullptr;
    {
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
        void* data = memory ? GlobalLock(memory) : nullptr;
        if (data) {
            std::copy(bytes.begin(), bytes.end(), static_cast<char*>(data));
            GlobalUnlock(memory);
            IStream* rawStream = nullptr;
            // The stream frees the memory when it is released.
            if (SUCCEEDED(CreateStreamOnHGlobal(memory, TRUE, &rawStream))) {
                memory = nullptr;
                std::unique_ptr<IStream, ComRelease> stream(rawStream);
                IPicture* rawPicture = nullptr;
                if (SUCCEEDED(OleLoadPicture(stream.get(), static_cast<LONG>(bytes.size()), FALSE,
                                             IID_IPicture,
                                             reinterpret_cast<void**>(&rawPicture)))) {
                    std::unique_ptr<IPicture, ComRelease> picture(rawPicture);
                    OLE_HANDLE handle = 0;
                    SHORT type = 0;
                    if (SUCCEEDED(picture->get_Type(&type)) && type == PICTYPE_BITMAP &&
                        SUCCEEDED(picture->get_Handle(&handle))) {
                        result = static_cast<HBITMAP>(
                            CopyImage(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(handle)),
                                      IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
                    }
                }
            }
        }
        if (memory) {
            GlobalFree(memory);
        }
    }
    if (comStarted) {
        CoUninitialize();
    }
    return result;
}

} // namespace

std::shared_ptr<Picture> Picture::Load(const std::wstring& path) {
    const std::wstring ext = LowerExtension(path);
    if (ext == L"bmp" || ext == L"dib") {
        return FromBitmap(static_cast<HBITMAP>(LoadImageW(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0,
                                                          LR_LOADFROMFILE | LR_CREATEDIBSECTION)));
    }
    if (ext == L"ico") {
        return FromIcon(static_cast<HICON>(
            LoadImageW(nullptr, path.c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE)));
    }
    if (ext == L"cur") {
        return FromIcon(static_cast<HICON>(LoadImageW(nullptr, path.c_str(), IMAGE_CURSOR, 0, 0,
                                                      LR_LOADFROMFILE | LR_DEFAULTSIZE)));
    }
    if (ext == L"jpg" || ext == L"jpeg" || ext == L"jpe" || ext == L"gif") {
        return FromBitmap(LoadWithOle(path));
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// PropertyBag

namespace {

std::wstring Lower(std::wstring_view key) {
    std::wstring lower(key);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return lower;
}

} // namespace

void PropertyBag::Write(std::wstring_view key, Value value) {
    std::wstring lower = Lower(key);
    for (auto& entry : m_entries) {
        if (entry.first == lower) {
            entry.second = std::move(value);
            return;
        }
    }
    m_entries.emplace_back(std::move(lower), std::move(value));
}

std::optional<PropertyBag::Value> PropertyBag::Read(std::wstring_view key) const {
    const std::wstring lower = Lower(key);
    for (const auto& entry : m_entries) {
        if (entry.first == lower) {
            return entry.second;
        }
    }
    return std::nullopt;
}

std::vector<std::wstring> PropertyBag::Keys() const {
    std::vector<std::wstring> keys;
    keys.reserve(m_entries.size());
    for (const auto& entry : m_entries) {
        keys.push_back(entry.first);
    }
    return keys;
}

namespace {

template <typename T> T ReadAs(const PropertyBag& bag, std::wstring_view key, const T& fallback) {
    const auto value = bag.Read(key);
    if (value) {
        if (const T* typed = std::get_if<T>(&*value)) {
            return *typed;
        }
    }
    return fallback;
}

} // namespace

std::int32_t PropertyBag::ReadLong(std::wstring_view key, std::int32_t fallback) const {
    return ReadAs<std::int32_t>(*this, key, fallback);
}

bool PropertyBag::ReadBool(std::wstring_view key, bool fallback) const {
    return ReadAs<bool>(*this, key, fallback);
}

std::wstring PropertyBag::ReadString(std::wstring_view key, const std::wstring& fallback) const {
    return ReadAs<std::wstring>(*this, key, fallback);
}

std::optional<FontSpec> PropertyBag::ReadFont(std::wstring_view key) const {
    const auto value = Read(key);
    if (value) {
        if (const FontSpec* font = std::get_if<FontSpec>(&*value)) {
            return *font;
        }
    }
    return std::nullopt;
}

PicturePtr PropertyBag::ReadPicture(std::wstring_view key) const {
    return ReadAs<PicturePtr>(*this, key, nullptr);
}

} // namespace kavsafe::controls
