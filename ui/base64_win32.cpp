#include "ui/base64_win32.h"

#include <windows.h>
#include <wincrypt.h>

typedef BOOL(WINAPI* CryptStringToBinaryWFn)(LPCWSTR, DWORD, DWORD, BYTE*, DWORD*, DWORD*, DWORD*);

bool DecodeBase64Win32(const wchar_t* text, unsigned char* out, size_t capacity, size_t* decoded) {
  *decoded = 0;
  // N.B. crypt32 is not a known DLL: loaded by name it could be found next
  // to the program, in a Downloads folder. Only System32 is searched.
  HMODULE crypt32 = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (crypt32 == nullptr) return false;
  bool ok = false;
  const CryptStringToBinaryWFn decode =
      reinterpret_cast<CryptStringToBinaryWFn>(reinterpret_cast<void*>(GetProcAddress(crypt32, "CryptStringToBinaryW")));
  if (decode != nullptr) {
    DWORD size = static_cast<DWORD>(capacity);
    // Length 0: the text is NUL-terminated. A result larger than the
    // buffer fails with ERROR_MORE_DATA.
    if (decode(text, 0, CRYPT_STRING_BASE64, out, &size, nullptr, nullptr) && size <= capacity) {
      *decoded = size;
      ok = true;
    }
  }
  FreeLibrary(crypt32);
  return ok;
}
