// Linux twin of os_win32.cpp, so jobs and tools run natively and under the sanitizers.
// Paths arrive with "\" separators, as the launcher builds them; here they are read as "/".
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>

#include "support/os.h"

namespace vantrel::os {
namespace {

std::string Native(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

uint32_t FromErrno(int e) {
  switch (e) {
    case 0: return kOk;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return kErrorAccessDenied;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case EEXIST: return kErrorAlreadyExists;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EXDEV: return kErrorNotSameDevice;
    default: return kErrorGenFailure;
  }
}

// FILETIME units: 100 ns since 1601-01-01.
uint64_t ToFileTime(const struct timespec& ts) {
  constexpr uint64_t kEpochDelta = 116444736000000000ULL;
  return kEpochDelta + static_cast<uint64_t>(ts.tv_sec) * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

std::atomic<PostHook> g_post_hook{nullptr};

}  // namespace

FileFacts GetFileFacts(std::string_view path) {
  FileFacts facts;
  struct stat st;
  if (path.empty() || stat(Native(path).c_str(), &st) != 0) return facts;
  facts.exists = true;
  facts.is_folder = S_ISDIR(st.st_mode);
  facts.size = facts.is_folder ? 0 : static_cast<uint64_t>(st.st_size);
  facts.write_time = ToFileTime(st.st_mtim);
  return facts;
}

uint32_t ListFolder(std::string_view folder, std::vector<FolderEntry>* entries) {
  entries->clear();
  const std::string native = Native(folder);
  DIR* dir = opendir(native.c_str());
  if (dir == nullptr) return FromErrno(errno);
  while (struct dirent* item = readdir(dir)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(dir), item->d_name, &st, 0) != 0) continue;
    FolderEntry entry;
    entry.name = name;
    entry.is_folder = S_ISDIR(st.st_mode);
    entry.size = entry.is_folder ? 0 : static_cast<uint64_t>(st.st_size);
    entry.write_time = ToFileTime(st.st_mtim);
    entries->push_back(std::move(entry));
  }
  closedir(dir);
  return kOk;
}

uint32_t File::OpenRead(std::string_view path) {
  Close();
  const int fd = open(Native(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return kErrorAccessDenied;  // as Windows answers for a folder opened as a file
  }
  handle_ = fd;
  return kOk;
}

uint32_t File::CreateWrite(std::string_view path) {
  Close();
  const int fd = open(Native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return FromErrno(errno);
  handle_ = fd;
  return kOk;
}

uint32_t File::OpenUpdate(std::string_view path) {
  Close();
  const int fd = open(Native(path).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  handle_ = fd;
  return kOk;
}

uint32_t File::Read(void* buffer, uint32_t capacity, uint32_t* got) {
  *got = 0;
  for (;;) {
    const ssize_t n = read(static_cast<int>(handle_), buffer, capacity);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FromErrno(errno);
    *got = static_cast<uint32_t>(n);
    return kOk;
  }
}

uint32_t File::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const size_t piece = size < 1048576 ? size : 1048576;
    const ssize_t n = write(static_cast<int>(handle_), p, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? FromErrno(errno) : kErrorDiskFull;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return kOk;
}

uint32_t File::Seek(uint64_t offset) {
  if (lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) < 0) return FromErrno(errno);
  return kOk;
}

uint32_t File::Truncate(uint64_t size) {
  if (ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) != 0) return FromErrno(errno);
  return Seek(size);
}

void File::Flush() {
  if (handle_ != kNone) fsync(static_cast<int>(handle_));
}

void File::Close() {
  if (handle_ != kNone) close(static_cast<int>(handle_));
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
  const std::string native = Native(path);
  struct stat st;
  if (lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return kErrorAccessDenied;
  return unlink(native.c_str()) == 0 ? kOk : FromErrno(errno);
}

uint32_t MoveReplace(std::string_view from, std::string_view to) {
  const std::string source = Native(from), target = Native(to);
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return kErrorAccessDenied;
  if (rename(source.c_str(), target.c_str()) != 0) return FromErrno(errno);
  const size_t cut = target.find_last_of('/');
  const int dir = open(cut == std::string::npos ? "." : target.substr(0, cut + 1).c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return kOk;
}

uint32_t MoveAcrossVolumes(std::string_view from, std::string_view to) {
  const uint32_t moved = MoveReplace(from, to);
  if (moved != kErrorNotSameDevice) return moved;
  // As Windows does with copying allowed: the copy is made whole or not at all, and a source
  // that can't be deleted afterwards stays beside it.
  if (const uint32_t error = CopyFileOver(from, to)) {
    unlink(Native(to).c_str());
    return error;
  }
  unlink(Native(from).c_str());
  return kOk;
}

uint32_t CopyFileOver(std::string_view from, std::string_view to) {
  File source;
  if (const uint32_t error = source.OpenRead(from)) return error;
  File target;
  if (const uint32_t error = target.CreateWrite(to)) return error;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[1048576]);
  if (!buffer) return kErrorNotEnoughMemory;
  for (;;) {
    uint32_t got = 0;
    if (const uint32_t error = source.Read(buffer.get(), 1048576, &got)) return error;
    if (got == 0) break;
    if (const uint32_t error = target.Write(buffer.get(), got)) return error;
  }
  return kOk;
}

uint32_t CreateFolder(std::string_view path) { return mkdir(Native(path).c_str(), 0755) == 0 ? kOk : FromErrno(errno); }

void CreateFolders(std::string_view path) {
  const std::string native = Native(path);
  for (size_t i = 1; i <= native.size(); ++i) {
    if (i == native.size() || native[i] == '/') mkdir(native.substr(0, i).c_str(), 0755);
  }
}

bool GetEnv(const char* name, std::string* value) {
  const char* found = std::getenv(name);
  if (found == nullptr) return false;
  const size_t length = std::strlen(found);
  if (length == 0 || length >= 1024) return false;
  *value = found;
  return true;
}

std::string ModulePath() {
  char buffer[1024];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer)) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

bool CommandLine(std::string* line) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (char& c : raw) {
    if (c == '\0') c = ' ';
  }
  *line = raw;
  return true;
}

bool NameFormsOf(std::string_view utf8, NameForms* name) {
  if (utf8.empty()) return false;
  name->utf8 = std::string(utf8);
  name->ansi = std::string(utf8);  // Linux has no ANSI code page; the second spelling is the same
  return true;
}

bool NetbiosComputerName(NameForms* name) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  std::string upper = host;
  const size_t dot = upper.find('.');
  if (dot != std::string::npos) upper.resize(dot);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return NameFormsOf(upper, name);
}

bool DnsHostName(NameForms* name) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  std::string text = host;
  const size_t dot = text.find('.');
  if (dot != std::string::npos) text.resize(dot);
  return NameFormsOf(text, name);
}

bool LogonUserName(NameForms* name) {
  struct passwd* pw = getpwuid(getuid());
  if (pw == nullptr || pw->pw_name == nullptr) return false;
  return NameFormsOf(pw->pw_name, name);
}

Lock::Lock() {
  static_assert(sizeof(std::mutex) <= sizeof(storage_));
  new (storage_) std::mutex();
}
Lock::~Lock() { reinterpret_cast<std::mutex*>(storage_)->~mutex(); }
void Lock::Enter() { reinterpret_cast<std::mutex*>(storage_)->lock(); }
void Lock::Leave() { reinterpret_cast<std::mutex*>(storage_)->unlock(); }

namespace {
struct ThreadStart {
  void (*entry)(void*);
  void* argument;
};
void* ThreadMain(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.entry(start.argument);
  return nullptr;
}
}  // namespace

uint32_t StartThread(void (*entry)(void*), void* argument, size_t stack_bytes) {
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
  if (start == nullptr) return kErrorNotEnoughMemory;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int error = pthread_create(&thread, &attr, ThreadMain, start);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    delete start;
    return FromErrno(error);
  }
  return kOk;
}

void PostToWindow(WindowHandle window, uint32_t message) {
  if (PostHook hook = g_post_hook.load()) hook(window, message);
}

void SetPostHook(PostHook hook) { g_post_hook.store(hook); }

void PostOnce(WindowHandle window, uint32_t message) { PostToWindow(window, message); }

void PostedOnceTaken() {}

}  // namespace vantrel::os
