#pragma once
// Writes a small minidump with an exception stream, a module list and system info, laid out
// as Windows lays them out, for the dump reader's tests and the console's uploads.
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::site {

struct MinidumpBuilder {
  struct Module {
    uint64_t base;
    uint32_t size;
    std::u16string path;
  };
  uint32_t exception_code = 0xC0000005;
  uint64_t exception_address = 0;
  std::vector<Module> modules;
  bool x86 = false;
  bool with_exception = true;

  static void Put32(std::string& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
  }
  static void Put64(std::string& out, size_t at, uint64_t value) {
    Put32(out, at, static_cast<uint32_t>(value));
    Put32(out, at + 4, static_cast<uint32_t>(value >> 32));
  }

  std::string Build() const {
    const uint32_t streams = with_exception ? 3 : 2;
    std::string out(32 + 12 * streams, '\0');
    Put32(out, 0, 0x504D444D);
    Put32(out, 4, 0xA793);
    Put32(out, 8, streams);
    Put32(out, 12, 32);
    size_t entry = 32;
    const auto add_stream = [&](uint32_t type, const std::string& data) {
      Put32(out, entry, type);
      Put32(out, entry + 4, static_cast<uint32_t>(data.size()));
      Put32(out, entry + 8, static_cast<uint32_t>(out.size()));
      entry += 12;
      out += data;
    };
    std::string system(56, '\0');
    system[0] = x86 ? 0 : 9;
    add_stream(7, system);
    if (with_exception) {
      std::string exception(168, '\0');
      Put32(exception, 8, exception_code);
      Put64(exception, 24, exception_address);
      add_stream(6, exception);
    }
    // Names go after the module list; their RVAs are known once the list's place is.
    const size_t list_at = out.size();
    std::string list(4 + 108 * modules.size(), '\0');
    Put32(list, 0, static_cast<uint32_t>(modules.size()));
    size_t name_at = list_at + list.size();
    std::string names;
    for (size_t i = 0; i < modules.size(); ++i) {
      Put64(list, 4 + 108 * i, modules[i].base);
      Put32(list, 4 + 108 * i + 8, modules[i].size);
      Put32(list, 4 + 108 * i + 20, static_cast<uint32_t>(name_at + names.size()));
      std::string name(4, '\0');
      Put32(name, 0, static_cast<uint32_t>(modules[i].path.size() * 2));
      for (char16_t c : modules[i].path) {
        name.push_back(static_cast<char>(c & 0xFF));
        name.push_back(static_cast<char>(c >> 8));
      }
      names += name + std::string(2, '\0');
    }
    add_stream(4, list);
    return out + names;
  }
};

}  // namespace vantrel::site
