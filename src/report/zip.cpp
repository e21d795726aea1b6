#include "report/zip.h"

#include <new>

#include "support/deflate.h"

namespace vantrel {
namespace {

constexpr uint16_t kVersion = 20;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kDate1980 = 0x0021;

void PutU16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void PutU32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

struct Packed {
  uint16_t method;
  uint32_t crc;
  uint32_t stored_size;
  uint32_t size;
  uint16_t name_size;
};

// The fields both headers share, from "version needed" through the name length.
void PutCommonFields(std::string& out, const Packed& p) {
  PutU16(out, kVersion);
  PutU16(out, 0);  // flags
  PutU16(out, p.method);
  PutU16(out, 0);  // time
  PutU16(out, kDate1980);
  PutU32(out, p.crc);
  PutU32(out, p.stored_size);
  PutU32(out, p.size);
  PutU16(out, p.name_size);
  PutU16(out, 0);  // extra field length
}

}  // namespace

bool PackReport(const ReportEntry* entries, uint32_t count, bool include_crash_dumps, std::string* archive) {
  archive->clear();
  try {
    std::string out;
    std::string directory;
    uint16_t packed_count = 0;
    std::string compressed;
    for (uint32_t i = 0; i < count; ++i) {
      const ReportEntry& entry = entries[i];
      if (entry.is_crash_dump && !include_crash_dumps) continue;
      Packed p{};
      p.crc = Crc32(entry.content);
      p.size = static_cast<uint32_t>(entry.content.size());
      p.name_size = static_cast<uint16_t>(entry.name.size());
      // Only a strictly smaller stream is worth it; anything else (or a failure) is stored.
      const bool deflated = !entry.content.empty() &&
                            DeflateRaw(entry.content, entry.content.size() - 1, &compressed) == DeflateStatus::kOk;
      const std::string_view data = deflated ? std::string_view(compressed) : std::string_view(entry.content);
      p.method = deflated ? kMethodDeflated : kMethodStored;
      p.stored_size = static_cast<uint32_t>(data.size());

      const uint32_t offset = static_cast<uint32_t>(out.size());
      PutU32(out, 0x04034B50);
      PutCommonFields(out, p);
      out.append(entry.name);
      out.append(data);

      PutU32(directory, 0x02014B50);
      PutU16(directory, kVersion);  // version made by
      PutCommonFields(directory, p);
      PutU16(directory, 0);  // comment length
      PutU16(directory, 0);  // disk number start
      PutU16(directory, 0);  // internal attributes
      PutU32(directory, 0);  // external attributes
      PutU32(directory, offset);
      directory.append(entry.name);
      ++packed_count;
      std::string().swap(compressed);
    }
    const uint32_t directory_offset = static_cast<uint32_t>(out.size());
    out.append(directory);
    PutU32(out, 0x06054B50);
    PutU16(out, 0);
    PutU16(out, 0);
    PutU16(out, packed_count);
    PutU16(out, packed_count);
    PutU32(out, static_cast<uint32_t>(directory.size()));
    PutU32(out, directory_offset);
    PutU16(out, 0);
    *archive = std::move(out);
    return true;
  } catch (const std::bad_alloc&) {
    archive->clear();
    return false;
  }
}

}  // namespace vantrel
