// Test helper: adds a DER certificate to the current user's trusted root store, so a test
// certificate authority is trusted by WinHTTP in this Wine prefix. crypt32 is loaded at run
// time because the helpers link only kernel32 and user32.
#include <windows.h>

#include <cstdio>
#include <vector>

using AddToStore = BOOL(WINAPI*)(LPCWSTR store, const BYTE* der, DWORD size);

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::vector<BYTE> der(65536);
  DWORD got = 0;
  const BOOL read = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &got, nullptr);
  CloseHandle(file);
  HMODULE crypt32 = LoadLibraryW(L"crypt32.dll");
  auto add = crypt32 ? reinterpret_cast<AddToStore>(
                           reinterpret_cast<void*>(GetProcAddress(crypt32, "CertAddEncodedCertificateToSystemStoreW")))
                     : nullptr;
  if (!read || got == 0 || add == nullptr || !add(L"Root", der.data(), got)) {
    std::printf("not added: error %lu\n", GetLastError());
    return 1;
  }
  std::printf("trusted\n");
  return 0;
}
