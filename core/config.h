// Everything the program is configured with at build time: where an
// enrollment code may send the node, and the two help pages of the form.
#pragma once

#include <stddef.h>

// Origins an enrollment code may name, compared as whole strings.
inline constexpr const wchar_t* kAllowedBases[] = {
    L"http://203.0.113.10",
    L"https://quenvale.com",
    L"https://www.quenvale.com",
};
inline constexpr size_t kAllowedBaseCount = sizeof kAllowedBases / sizeof kAllowedBases[0];

// Microsoft's WSL installation guide, Simplified Chinese edition.
inline constexpr const wchar_t kWslGuideUrl[] = L"https://learn.microsoft.com/zh-cn/windows/wsl/install";
// Docker's page on Docker Desktop's WSL features.
inline constexpr const wchar_t kDockerGuideUrl[] = L"https://docs.docker.com/desktop/features/wsl/";
