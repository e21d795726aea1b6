#pragma once
// What the two bare benchmark programs share: their list file, a wall clock and a failure line.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// One entry a line, UTF-8, "\n" or "\r\n" endings; empty lines are skipped.
inline bool ReadList(const wchar_t* path, std::vector<std::wstring>* lines) {
  FILE* file = _wfopen(path, L"rb");
  if (file == nullptr) return false;
  std::string text;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  std::fclose(file);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    if (stop > start) {
      const int units =
          MultiByteToWideChar(CP_UTF8, 0, text.data() + start, static_cast<int>(stop - start), nullptr, 0);
      std::wstring line(static_cast<size_t>(units), L'\0');
      MultiByteToWideChar(CP_UTF8, 0, text.data() + start, static_cast<int>(stop - start), line.data(), units);
      lines->push_back(std::move(line));
    }
    start = end + 1;
  }
  return true;
}

// Wall time and the process's CPU time (user and kernel, all threads) since construction.
class Stopwatch {
 public:
  Stopwatch() : cpu_start_(CpuSeconds()) { QueryPerformanceCounter(&start_); }
  double Seconds() const {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency.QuadPart);
  }
  double CpuSpent() const { return CpuSeconds() - cpu_start_; }

  // The lines the benchmark reads.
  void Print(size_t files, uint64_t bytes) const {
    const double seconds = Seconds();
    std::printf("seconds: %.4f\ncpu: %.4f\nfiles: %zu\nbytes: %llu\n", seconds, CpuSpent(), files,
                static_cast<unsigned long long>(bytes));
  }

 private:
  static double CpuSeconds() {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
    auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
  }

  LARGE_INTEGER start_;
  double cpu_start_;
};

inline int Fail(const char* what, const std::wstring& subject) {
  std::fprintf(stderr, "%s failed (error %lu): %ls\n", what, GetLastError(), subject.c_str());
  return 1;
}

}  // namespace bench
