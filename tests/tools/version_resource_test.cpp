// Reads the module's version resource back through the Windows version API and compares it
// with what the build was configured with: NAME=VALUE must match exactly, NAME=* be present.
#include <cstdio>
#include <string>

#include "cli/version_info_win32.h"
#include "common/utf_text.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: version_resource_test DLL NAME=VALUE|NAME=* ...\n");
        return 2;
    }
    const std::u16string path = halvane::text::ToUtf16(argv[1]);
    std::string error;
    const auto info = halvane::cli::ReadVersionInfo(std::wstring(path.begin(), path.end()), error);
    if (!info) {
        std::printf("FAIL %s: %s\n0 passed, 1 failed\n", argv[1], error.c_str());
        return 1;
    }
    int passed = 0, failed = 0;
    auto check = [&](bool ok, const std::string& what) {
        ok ? ++passed : ++failed;
        if (!ok) std::printf("FAIL %s\n", what.c_str());
    };
    const VS_FIXEDFILEINFO& fixed = info->fixed;
    check(fixed.dwSignature == VS_FFI_SIGNATURE && fixed.dwFileType == VFT_DLL, "fixed information of a DLL");
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%lu.%lu.%lu", fixed.dwFileVersionMS >> 16, fixed.dwFileVersionMS & 0xFFFF,
                  fixed.dwFileVersionLS >> 16);
    const bool sameProduct = fixed.dwProductVersionMS == fixed.dwFileVersionMS &&
                             fixed.dwProductVersionLS == fixed.dwFileVersionLS && (fixed.dwFileVersionLS & 0xFFFF) == 0;
    check(sameProduct, "fixed product version equals the file version");
    for (int i = 2; i < argc; ++i) {
        const std::string expected = argv[i];
        const std::string name = expected.substr(0, expected.find('='));
        const std::string value = expected.substr(name.size() + 1);
        const std::string* found = nullptr;
        for (const auto& [key, text] : info->strings) {
            if (key == name) found = &text;
        }
        check(found != nullptr && (value == "*" ? !found->empty() : *found == value),
              name + " is '" + (found != nullptr ? *found : "(absent)") + "', expected '" + value + "'");
        if (name == "FileVersion")
            check(value == numbers, std::string("fixed file version ") + numbers + " vs " + value);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
