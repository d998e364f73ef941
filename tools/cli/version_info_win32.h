// Reading a file's version resource through the Windows version API.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace halvane::cli {

struct VersionInfo {
    VS_FIXEDFILEINFO fixed{};
    // Name and UTF-8 value of each string of the first translation, in the order of
    // kVersionStrings; absent strings are left out.
    std::vector<std::pair<std::string, std::string>> strings;
};

inline constexpr const wchar_t* kVersionStrings[] = {L"FileDescription", L"FileVersion",      L"ProductName",
                                                     L"ProductVersion",  L"OriginalFilename", L"Comments",
                                                     L"SpecialBuild"};

// The version resource of the file at `path`; nothing, with the reason in `error`, when the
// file has none.
std::optional<VersionInfo> ReadVersionInfo(const std::wstring& path, std::string& error);

}  // namespace halvane::cli
