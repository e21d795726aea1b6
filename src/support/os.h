#pragma once
// The operating-system seam: files and folders, environment, names, command line, threads,
// the lock and window messages. os_win32.cpp is the product; os_posix.cpp lets the same jobs
// run natively (paths keep "\" as the launcher writes them; the posix side reads it as "/").
// Functions return a Windows error code (0 on success) on both sides.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::os {

inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorNotSameDevice = 17;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorLockViolation = 33;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameTooLong = 206;
inline constexpr uint32_t kErrorNoUnicodeTranslation = 1113;

// What the attribute query reports: existence, kind, size and last-write time (FILETIME units).
struct FileFacts {
  bool exists = false;
  bool is_folder = false;
  uint64_t size = 0;
  uint64_t write_time = 0;
};
FileFacts GetFileFacts(std::string_view path);

struct FolderEntry {
  std::string name;  // UTF-8
  uint64_t size = 0;
  uint64_t write_time = 0;
  bool is_folder = false;
};
// Lists a folder without "." and ".."; names that don't convert to UTF-8 are passed over.
uint32_t ListFolder(std::string_view folder, std::vector<FolderEntry>* entries);

// A file handle closed on every path out.
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Existing file, read access, shared for read, write and delete (the game may hold it open).
  uint32_t OpenRead(std::string_view path);
  // Write access, no sharing, created anew (an existing file is emptied).
  uint32_t CreateWrite(std::string_view path);
  // Existing file, read and write access, no sharing: reads start at its beginning and writes
  // go on where they end.
  uint32_t OpenUpdate(std::string_view path);
  uint32_t Read(void* buffer, uint32_t capacity, uint32_t* got);
  uint32_t Write(const void* data, size_t size);  // writes all of it, 1 MiB at a time
  uint32_t Seek(uint64_t offset);
  // Cuts (or extends) the file to `size` bytes; the position is left at the new end.
  uint32_t Truncate(uint64_t size);
  void Flush();
  void Close();
  bool IsOpen() const { return handle_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
};

// Reads a whole file of at most `max_bytes`; a longer one gives kErrorFileTooLarge and no
// content (callers treat an oversized file as an empty one).
inline constexpr uint32_t kErrorFileTooLarge = 223;
uint32_t ReadWholeFile(std::string_view path, uint64_t max_bytes, std::string* content);
// Creates the file anew and writes `content`.
uint32_t WriteWholeFile(std::string_view path, std::string_view content);

uint32_t DeleteFilePath(std::string_view path);
// Replace-existing and write-through (MoveFileExW flags 9).
uint32_t MoveReplace(std::string_view from, std::string_view to);
// As MoveReplace, but copies (then deletes the source) when the two lie on different volumes
// (MoveFileExW flags 11). A failed copy leaves no target.
uint32_t MoveAcrossVolumes(std::string_view from, std::string_view to);
// Writes `content` beside `path`, flushes it, then moves it over `path`, so a full disk, a
// kill or a power cut never leaves a half-written file there. On failure the temporary file is
// gone and `path` untouched.
uint32_t ReplaceWholeFile(std::string_view path, std::string_view content);
// Copies over an existing target.
uint32_t CopyFileOver(std::string_view from, std::string_view to);
// One folder; kErrorAlreadyExists when something is there already.
uint32_t CreateFolder(std::string_view path);
// Creates every missing folder of `path` (the result of the last creation is ignored).
void CreateFolders(std::string_view path);

// Environment variable holding 1 to 1023 UTF-16 units; false when unset, empty or longer.
bool GetEnv(const char* name, std::string* value);
// The running program's path, empty when the system gives none or it needs 1024 units or more.
std::string ModulePath();
// The process command line; false when it can't be converted.
bool CommandLine(std::string* line);

// A name in its two spellings: UTF-8 and the system ANSI code page (empty when that
// conversion loses characters or gives nothing).
struct NameForms {
  std::string utf8;
  std::string ansi;
};
bool NetbiosComputerName(NameForms* name);
bool DnsHostName(NameForms* name);
bool LogonUserName(NameForms* name);
// Converts a UTF-8 name to its two spellings (used for the last part of USERPROFILE).
bool NameFormsOf(std::string_view utf8, NameForms* name);

// The one lock of the launcher state (a critical section on Windows).
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Enter();
  void Leave();

 private:
  alignas(16) unsigned char storage_[64];
};

class LockGuard {
 public:
  explicit LockGuard(Lock& lock) : lock_(lock) { lock_.Enter(); }
  ~LockGuard() { lock_.Leave(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

// Starts a detached thread with the given stack size; nothing ever waits for it.
uint32_t StartThread(void (*entry)(void*), void* argument, size_t stack_bytes);

// Window handle as an opaque value; posting is the only thing the worker does with it.
using WindowHandle = void*;
void PostToWindow(WindowHandle window, uint32_t message);
// Posts `message` unless one posted this way is still waiting for the window, which calls
// PostedOnceTaken as it takes it, before it reads what the message announces: a check sends
// thousands of notices a second, and under Wine each post is a server round trip. The posix
// side delivers every one, as to a window that takes each at once.
void PostOnce(WindowHandle window, uint32_t message);
void PostedOnceTaken();

// Posix side only: where posted messages go (tests count them). Unused on Windows.
using PostHook = void (*)(WindowHandle window, uint32_t message);
void SetPostHook(PostHook hook);

}  // namespace vantrel::os
