#include "realm-site/minidump.h"

#include "support/text.h"
#include "support/utf.h"

namespace vantrel::site {
namespace {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kExceptionStream = 6;
constexpr uint32_t kSystemInfoStream = 7;
constexpr uint32_t kModuleEntrySize = 108;
constexpr uint32_t kMaxNameBytes = 65536;

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool Fits(uint64_t at, uint64_t size) const { return at <= bytes_.size() && size <= bytes_.size() - at; }
  uint32_t U32(uint64_t at) const {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes_[at + i]);
    return value;
  }
  uint16_t U16(uint64_t at) const {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes_[at]) | (static_cast<uint8_t>(bytes_[at + 1]) << 8));
  }
  uint64_t U64(uint64_t at) const { return U32(at) | (static_cast<uint64_t>(U32(at + 4)) << 32); }

 private:
  std::string_view bytes_;
};

struct Stream {
  uint32_t size = 0;
  uint32_t rva = 0;
  bool found = false;
};

// A MINIDUMP_STRING: a byte length, then UTF-16LE.
bool ReadName(const Reader& dump, uint32_t rva, std::string* name) {
  if (!dump.Fits(rva, 4)) return false;
  const uint32_t length = dump.U32(rva);
  if (length > kMaxNameBytes || length % 2 != 0 || !dump.Fits(uint64_t{rva} + 4, length)) return false;
  std::u16string wide;
  for (uint32_t i = 0; i < length; i += 2) wide.push_back(static_cast<char16_t>(dump.U16(uint64_t{rva} + 4 + i)));
  if (!Utf16ToUtf8(wide, name)) return false;
  return true;
}

}  // namespace

bool ReadDumpFault(std::string_view bytes, DumpFault* fault) {
  *fault = DumpFault();
  const Reader dump(bytes);
  if (!dump.Fits(0, 32) || dump.U32(0) != kSignature || (dump.U32(4) & 0xFFFF) != 0xA793) return false;
  const uint32_t stream_count = dump.U32(8);
  const uint32_t directory = dump.U32(12);
  if (stream_count > kMaxDumpStreams || !dump.Fits(directory, uint64_t{stream_count} * 12)) return false;
  Stream exception;
  Stream modules;
  Stream system;
  for (uint32_t i = 0; i < stream_count; ++i) {
    const uint64_t at = directory + uint64_t{i} * 12;
    const uint32_t type = dump.U32(at);
    Stream* wanted = type == kExceptionStream    ? &exception
                     : type == kModuleListStream ? &modules
                     : type == kSystemInfoStream ? &system
                                                 : nullptr;
    if (wanted == nullptr || wanted->found) continue;
    wanted->size = dump.U32(at + 4);
    wanted->rva = dump.U32(at + 8);
    wanted->found = true;
    if (!dump.Fits(wanted->rva, wanted->size)) return false;
  }
  if (!exception.found || exception.size < 32) return false;
  fault->code = dump.U32(uint64_t{exception.rva} + 8);
  fault->address = dump.U64(uint64_t{exception.rva} + 24);
  // An x86 dump may carry addresses sign-extended to 64 bits; only the low half counts.
  const bool x86 = system.found && system.size >= 2 && dump.U16(system.rva) == 0;
  const uint64_t mask = x86 ? 0xFFFFFFFFull : ~0ull;
  fault->address &= mask;
  if (!modules.found || modules.size < 4) return true;
  const uint32_t module_count = dump.U32(modules.rva);
  if (module_count > kMaxDumpModules || uint64_t{module_count} * kModuleEntrySize > modules.size - 4) return true;
  for (uint32_t i = 0; i < module_count; ++i) {
    const uint64_t at = uint64_t{modules.rva} + 4 + uint64_t{i} * kModuleEntrySize;
    const uint64_t base = dump.U64(at) & mask;
    const uint32_t size = dump.U32(at + 8);
    if (fault->address < base || fault->address - base >= size) continue;
    std::string path;
    if (!ReadName(dump, dump.U32(at + 20), &path)) return true;
    fault->in_module = true;
    fault->module = AsciiLowered(LastPathComponent(path));
    fault->offset = fault->address - base;
    return true;
  }
  return true;
}

}  // namespace vantrel::site
