// Entry names in both directions, with the rules that keep extraction inside its folder.
#include "EntryName.h"

#include "RarFormat.h"
#include "Text.h"

#include <array>

namespace bi {

namespace {

bool IsReservedDeviceName(std::wstring_view component) {
    // Windows maps these names to devices whatever extension follows, and ignores trailing
    // spaces before the extension.
    std::wstring_view stem = component.substr(0, component.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.remove_suffix(1);
    }
    static constexpr std::array<std::wstring_view, 6> kPlain = {L"CON", L"PRN",    L"AUX",
                                                                L"NUL", L"CONIN$", L"CONOUT$"};
    for (const std::wstring_view reserved : kPlain) {
        if (quor::EqualsNoCase(stem, reserved)) {
            return true;
        }
    }
    if (stem.size() == 4 && (quor::EqualsNoCase(stem.substr(0, 3), L"COM") ||
                             quor::EqualsNoCase(stem.substr(0, 3), L"LPT"))) {
        const wchar_t digit = stem[3];
        // COM0-9, LPT0-9 and the superscript digits 1, 2 and 3.
        return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
               digit == L'\u00B3';
    }
    return false;
}

} // namespace

bool IsSafeComponent(std::wstring_view component) {
    if (component.empty() || component == L"." || component == L"..") {
        return false;
    }
    for (const wchar_t c : component) {
        if (c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' ||
            c == L'"' || c == L'<' || c == L'>' || c == L'|') {
            return false;
        }
    }
    const wchar_t last = component.back();
    if (last == L'.' || last == L' ') {
        return false;
    }
    return !IsReservedDeviceName(component);
}

Status ArchiveNameFromPath(std::wstring_view relativePath, std::string& name) {
    const std::wstring subject(relativePath);
    size_t start = 0;
    for (;;) {
        const size_t end = relativePath.find(L'\\', start);
        const std::wstring_view component = relativePath.substr(
            start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start);
        if (!IsSafeComponent(component)) {
            return Status(Failure::BadSourceName, subject);
        }
        if (end == std::wstring_view::npos) {
            break;
        }
        start = end + 1;
    }
    std::wstring slashed(relativePath);
    for (wchar_t& c : slashed) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    if (!quor::ToUtf8(slashed, name)) {
        return Status(Failure::BadSourceName, subject);
    }
    if (name.size() > rar::kMaxWrittenNameSize) {
        return Status(Failure::NameTooLong, subject);
    }
    return Status::Ok();
}

Status RelativePathFromArchiveName(std::string_view name, std::wstring& relativePath) {
    relativePath.clear();
    std::wstring wide;
    if (name.empty() || !quor::FromUtf8(name, wide)) {
        // Show the bytes as far as they decode; the name itself is the problem.
        return Status(Failure::UnsafeName, quor::FromAnsi(name));
    }
    size_t start = 0;
    for (;;) {
        const size_t end = wide.find(L'/', start);
        const std::wstring_view component = std::wstring_view(wide).substr(
            start, end == std::wstring::npos ? std::wstring_view::npos : end - start);
        // A drive prefix ("C:") and a leading '/' (an empty first component) fail here too.
        if (!IsSafeComponent(component)) {
            return Status(Failure::UnsafeName, wide);
        }
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    relativePath = wide;
    for (wchar_t& c : relativePath) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return Status::Ok();
}

} // namespace bi
