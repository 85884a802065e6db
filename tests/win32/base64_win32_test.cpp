// The node name decoded by the system's decoder: the same acceptance as
// the portable one where both must agree, and crypt32 taken from System32.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>

#include "core/base64.h"
#include "import_hooks.h"
#include "ui/base64_win32.h"

namespace {

struct DecodeCase {
  const char* name;
  std::wstring text;
  bool accepted;
  std::string bytes;
};

std::wstring Repeat(const wchar_t* quartet, size_t times) {
  std::wstring text;
  for (size_t i = 0; i < times; ++i) text += quartet;
  return text;
}

std::string Narrow(const std::wstring& ascii) {
  return std::string(ascii.begin(), ascii.end());
}

TEST(DecodeBase64Win32, AgreesWithThePortableDecoderOnWhatBothMustAcceptOrRefuse) {
  const DecodeCase cases[] = {
      {"padded twice", L"bm9kZQ==", true, "node"},
      {"padded once", L"bm9kZS0=", true, "node-"},
      {"unpadded quartets", L"bm9kZS0x", true, "node-1"},
      {"UTF-8 Chinese", L"6IqC54K55LiA5Y+3", true, "\xe8\x8a\x82\xe7\x82\xb9\xe4\xb8\x80\xe5\x8f\xb7"},
      {"160 bytes fit", Repeat(L"QUJD", 53) + L"QQ==", true, Narrow(Repeat(L"ABC", 53)) + "A"},
      {"161 bytes do not", Repeat(L"QUJD", 53) + L"QUI=", false, ""},
      {"a character outside the alphabet", L"bm9k*Q==", false, ""},
      {"URL-safe alphabet", L"bm9k_Q==", false, ""},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool system : {true, false}) {
      SCOPED_TRACE(system ? "crypt32" : "portable");
      unsigned char out[160];
      memset(out, 0xAA, sizeof out);
      size_t decoded = 12345;
      const bool ok = system ? DecodeBase64Win32(c.text.c_str(), out, sizeof out, &decoded)
                             : DecodeBase64Portable(c.text.c_str(), out, sizeof out, &decoded);
      EXPECT_EQ(c.accepted, ok);
      if (ok) {
        EXPECT_EQ(c.bytes, std::string(reinterpret_cast<const char*>(out), decoded));
      }
    }
  }
}

// The decoder's loads of crypt32 and its releases, as they pass through
// this program's imports.
using LoadLibraryExFn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);
using FreeLibraryFn = BOOL(WINAPI*)(HMODULE);
LoadLibraryExFn g_load;
FreeLibraryFn g_free;
struct Crypt32Calls {
  int loads = 0;
  DWORD flags = 0;
  HMODULE module = nullptr;
  int releases = 0;
};
Crypt32Calls g_crypt32;

HMODULE WINAPI CountingLoad(LPCWSTR name, HANDLE file, DWORD flags) {
  const HMODULE module = g_load(name, file, flags);
  if (name != nullptr && lstrcmpiW(name, L"crypt32.dll") == 0) {
    ++g_crypt32.loads;
    g_crypt32.flags = flags;
    g_crypt32.module = module;
  }
  return module;
}

BOOL WINAPI CountingRelease(HMODULE module) {
  if (module != nullptr && module == g_crypt32.module) ++g_crypt32.releases;
  return g_free(module);
}

// Other software (security software, on Windows) may have loaded crypt32
// into the process already, so what counts is that each load of the
// decoder's own is released and the process ends as it began.
TEST(DecodeBase64Win32, TakesCrypt32FromSystem32AndReleasesEveryLoad) {
  const HMODULE before = GetModuleHandleW(L"crypt32.dll");
  const HMODULE self = GetModuleHandleW(nullptr);
  g_load = reinterpret_cast<LoadLibraryExFn>(
      ReplaceImport(self, "kernel32.dll", "LoadLibraryExW", reinterpret_cast<void*>(CountingLoad)));
  g_free = reinterpret_cast<FreeLibraryFn>(
      ReplaceImport(self, "kernel32.dll", "FreeLibrary", reinterpret_cast<void*>(CountingRelease)));
  struct Restore {
    HMODULE self;
    ~Restore() {
      if (g_load != nullptr) ReplaceImport(self, "kernel32.dll", "LoadLibraryExW", reinterpret_cast<void*>(g_load));
      if (g_free != nullptr) ReplaceImport(self, "kernel32.dll", "FreeLibrary", reinterpret_cast<void*>(g_free));
    }
  } restore{self};
  ASSERT_NE(nullptr, g_load);
  ASSERT_NE(nullptr, g_free);

  unsigned char out[16];
  size_t decoded = 0;
  EXPECT_TRUE(DecodeBase64Win32(L"bm9kZQ==", out, sizeof out, &decoded));
  EXPECT_FALSE(DecodeBase64Win32(L"bm9k*Q==", out, sizeof out, &decoded));
  EXPECT_FALSE(DecodeBase64Win32(L"QUJDQUJDQUJDQUJDQUJDQUJD", out, sizeof out, &decoded));  // 18 bytes
  EXPECT_EQ(3, g_crypt32.loads);
  EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), g_crypt32.flags) << "searched beyond System32";
  EXPECT_NE(nullptr, g_crypt32.module);
  EXPECT_EQ(g_crypt32.loads, g_crypt32.releases);
  EXPECT_EQ(before, GetModuleHandleW(L"crypt32.dll"));
}

}  // namespace
