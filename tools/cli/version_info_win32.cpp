#include "cli/version_info_win32.h"

#include <cstdio>

#include "common/utf_text.h"

namespace halvane::cli {

std::optional<VersionInfo> ReadVersionInfo(const std::wstring& path, std::string& error) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        error = "no version resource (error " + std::to_string(GetLastError()) + ")";
        return std::nullopt;
    }
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        error = "the version resource cannot be read (error " + std::to_string(GetLastError()) + ")";
        return std::nullopt;
    }
    VersionInfo info;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        error = "the version resource has no fixed file information";
        return std::nullopt;
    }
    info.fixed = *static_cast<const VS_FIXEDFILEINFO*>(value);
    struct Translation {
        WORD language;
        WORD codePage;
    };
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < sizeof(Translation)) {
        error = "the version resource has no translation";
        return std::nullopt;
    }
    const auto translation = *static_cast<const Translation*>(value);
    wchar_t table[40];
    std::swprintf(table, 40, L"\\StringFileInfo\\%04x%04x\\", translation.language, translation.codePage);
    for (const wchar_t* name : kVersionStrings) {
        const std::wstring query = table + std::wstring(name);
        if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) continue;
        std::u16string_view text(static_cast<const char16_t*>(value), length);
        text = text.substr(0, text.find(u'\0'));
        info.strings.emplace_back(text::ToUtf8(reinterpret_cast<const char16_t*>(name)), text::ToUtf8(text));
    }
    return info;
}

}  // namespace halvane::cli
