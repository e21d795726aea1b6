// The product's side of the seam: kernel32 and advapi32 calls with wide paths.
#include <windows.h>

#include <atomic>
#include <new>

#include "support/os.h"
#include "support/win_text.h"

namespace vantrel::os {
namespace {

uint64_t Join(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

uint32_t LastError() {
  const DWORD error = GetLastError();
  return error == 0 ? kErrorGenFailure : error;
}

}  // namespace

FileFacts GetFileFacts(std::string_view path) {
  FileFacts facts;
  std::wstring wide;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!ToWide(path, &wide) || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return facts;
  facts.exists = true;
  facts.is_folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.size = Join(data.nFileSizeHigh, data.nFileSizeLow);
  facts.write_time = Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
  return facts;
}

uint32_t ListFolder(std::string_view folder, std::vector<FolderEntry>* entries) {
  entries->clear();
  std::wstring pattern;
  if (!ToWide(std::string(folder) + "\\*", &pattern)) return kErrorNoUnicodeTranslation;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return LastError();
  do {
    const size_t length = wcsnlen(data.cFileName, MAX_PATH);
    const std::wstring_view name(data.cFileName, length);
    if (name == L"." || name == L"..") continue;
    FolderEntry entry;
    if (!FromWide(data.cFileName, length, &entry.name)) continue;
    entry.is_folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.size = Join(data.nFileSizeHigh, data.nFileSizeLow);
    entry.write_time = Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    entries->push_back(std::move(entry));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return kOk;
}

uint32_t File::OpenRead(std::string_view path) {
  Close();
  std::wstring wide;
  if (!ToWide(path, &wide)) return kErrorNoUnicodeTranslation;
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  handle_ = reinterpret_cast<intptr_t>(h);
  return kOk;
}

uint32_t File::CreateWrite(std::string_view path) {
  Close();
  std::wstring wide;
  if (!ToWide(path, &wide)) return kErrorNoUnicodeTranslation;
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  handle_ = reinterpret_cast<intptr_t>(h);
  return kOk;
}

uint32_t File::OpenUpdate(std::string_view path) {
  Close();
  std::wstring wide;
  if (!ToWide(path, &wide)) return kErrorNoUnicodeTranslation;
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  handle_ = reinterpret_cast<intptr_t>(h);
  return kOk;
}

uint32_t File::Read(void* buffer, uint32_t capacity, uint32_t* got) {
  DWORD n = 0;
  *got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, capacity, &n, nullptr)) return LastError();
  *got = n;
  return kOk;
}

uint32_t File::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(size < 1048576 ? size : 1048576);
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), p, piece, &written, nullptr)) return LastError();
    if (written == 0) return kErrorDiskFull;
    p += written;
    size -= written;
  }
  return kOk;
}

uint32_t File::Seek(uint64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(reinterpret_cast<HANDLE>(handle_), distance, nullptr, FILE_BEGIN)) return LastError();
  return kOk;
}

uint32_t File::Truncate(uint64_t size) {
  if (const uint32_t error = Seek(size)) return error;
  if (!SetEndOfFile(reinterpret_cast<HANDLE>(handle_))) return LastError();
  return kOk;
}

void File::Flush() {
  if (handle_ != kNone) FlushFileBuffers(reinterpret_cast<HANDLE>(handle_));
}

void File::Close() {
  if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

uint32_t ReadWholeFile(std::string_view path, uint64_t max_bytes, std::string* content) {
  content->clear();
  File file;
  if (const uint32_t error = file.OpenRead(path)) return error;
  std::string data;
  char buffer[65536];
  for (;;) {
    uint32_t got = 0;
    if (const uint32_t error = file.Read(buffer, sizeof buffer, &got)) return error;
    if (got == 0) break;
    if (data.size() + got > max_bytes) return kErrorFileTooLarge;
    data.append(buffer, got);
  }
  *content = std::move(data);
  return kOk;
}

uint32_t WriteWholeFile(std::string_view path, std::string_view content) {
  File file;
  if (const uint32_t error = file.CreateWrite(path)) return error;
  return file.Write(content.data(), content.size());
}

uint32_t DeleteFilePath(std::string_view path) {
  std::wstring wide;
  if (!ToWide(path, &wide)) return kErrorNoUnicodeTranslation;
  return DeleteFileW(wide.c_str()) ? kOk : LastError();
}

uint32_t MoveReplace(std::string_view from, std::string_view to) {
  std::wstring source, target;
  if (!ToWide(from, &source) || !ToWide(to, &target)) return kErrorNoUnicodeTranslation;
  return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? kOk
                                                                                                         : LastError();
}

uint32_t MoveAcrossVolumes(std::string_view from, std::string_view to) {
  std::wstring source, target;
  if (!ToWide(from, &source) || !ToWide(to, &target)) return kErrorNoUnicodeTranslation;
  constexpr DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
  return MoveFileExW(source.c_str(), target.c_str(), kFlags) ? kOk : LastError();
}

uint32_t CopyFileOver(std::string_view from, std::string_view to) {
  std::wstring source, target;
  if (!ToWide(from, &source) || !ToWide(to, &target)) return kErrorNoUnicodeTranslation;
  return CopyFileW(source.c_str(), target.c_str(), FALSE) ? kOk : LastError();
}

uint32_t CreateFolder(std::string_view path) {
  std::wstring wide;
  if (!ToWide(path, &wide)) return kErrorNoUnicodeTranslation;
  return CreateDirectoryW(wide.c_str(), nullptr) ? kOk : LastError();
}

void CreateFolders(std::string_view path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\' || path[i] == '/') {
      const std::string_view prefix = path.substr(0, i);
      if (prefix.size() == 2 && prefix[1] == ':') continue;  // a drive, not a folder
      CreateFolder(prefix);
    }
  }
}

bool GetEnv(const char* name, std::string* value) {
  std::wstring wide_name;
  if (!ToWide(name, &wide_name)) return false;
  wchar_t buffer[1024];
  const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), buffer, 1024);
  if (n == 0 || n >= 1024) return false;
  return FromWide(buffer, n, value);
}

std::string ModulePath() {
  wchar_t buffer[1024];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, 1024);
  std::string path;
  if (n == 0 || n >= 1024 || !FromWide(buffer, n, &path)) return std::string();
  return path;
}

bool CommandLine(std::string* line) {
  const wchar_t* text = GetCommandLineW();
  return text != nullptr && FromWide(text, wcslen(text), line);
}

namespace {
bool FormsOfWide(const wchar_t* text, int length, NameForms* name) {
  if (length <= 0 || !FromWide(text, static_cast<size_t>(length), &name->utf8) || name->utf8.empty()) return false;
  name->ansi.clear();
  BOOL lossy = FALSE;
  const int need = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, &lossy);
  if (need > 0 && !lossy) {
    std::string ansi(static_cast<size_t>(need), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text, length, ansi.data(), need, nullptr, nullptr) == need) {
      name->ansi = std::move(ansi);
    }
  }
  return true;
}
}  // namespace

bool NameFormsOf(std::string_view utf8, NameForms* name) {
  std::wstring wide;
  return ToWide(utf8, &wide) && FormsOfWide(wide.c_str(), static_cast<int>(wide.size()), name);
}

bool NetbiosComputerName(NameForms* name) {
  wchar_t buffer[256];
  DWORD n = 256;
  return GetComputerNameW(buffer, &n) && FormsOfWide(buffer, static_cast<int>(n), name);
}

bool DnsHostName(NameForms* name) {
  wchar_t buffer[256];
  DWORD n = 256;
  return GetComputerNameExW(ComputerNameDnsHostname, buffer, &n) && FormsOfWide(buffer, static_cast<int>(n), name);
}

bool LogonUserName(NameForms* name) {
  wchar_t buffer[257];
  DWORD n = 257;
  if (!GetUserNameW(buffer, &n) || n == 0) return false;
  return FormsOfWide(buffer, static_cast<int>(n - 1), name);  // the count includes the NUL
}

Lock::Lock() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_));
  InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
Lock::~Lock() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::Enter() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::Leave() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

namespace {
struct ThreadStart {
  void (*entry)(void*);
  void* argument;
};
DWORD WINAPI ThreadMain(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.entry(start.argument);
  return 0;
}
}  // namespace

uint32_t StartThread(void (*entry)(void*), void* argument, size_t stack_bytes) {
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
  if (start == nullptr) return kErrorNotEnoughMemory;
  HANDLE thread = CreateThread(nullptr, stack_bytes, ThreadMain, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    const uint32_t error = LastError();
    delete start;
    return error;
  }
  CloseHandle(thread);
  return kOk;
}

void PostToWindow(WindowHandle window, uint32_t message) { PostMessageW(static_cast<HWND>(window), message, 0, 0); }

void SetPostHook(PostHook) {}

namespace {
std::atomic<bool> g_posted_once_waiting{false};
}  // namespace

void PostOnce(WindowHandle window, uint32_t message) {
  if (g_posted_once_waiting.exchange(true)) return;
  // A post that didn't go leaves nothing waiting: the next one tries again.
  if (!PostMessageW(static_cast<HWND>(window), message, 0, 0)) g_posted_once_waiting.store(false);
}

void PostedOnceTaken() { g_posted_once_waiting.store(false); }

}  // namespace vantrel::os
