#include "vantrel-stamp/stamp.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "launcher/startup.h"
#include "support/os.h"

namespace vantrel {
namespace {

constexpr uint64_t kKeyFileLimit = 4096;

// The offset of the slot after the one `marker` in `image`, or a reason.
std::string FindSlot(const std::string& image, std::string_view marker, size_t slot_bytes, std::string_view what,
                     size_t* at) {
  const size_t first = image.find(marker);
  if (first == std::string::npos) return "the file has no " + std::string(what) + " slot (is it a Vantrel launcher?)";
  if (image.find(marker, first + 1) != std::string::npos) {
    return "the file holds the " + std::string(what) + " slot marker more than once, so the slot is ambiguous";
  }
  *at = first + marker.size();
  if (*at + slot_bytes > image.size()) return "the file ends inside the " + std::string(what) + " slot";
  return std::string();
}

}  // namespace

std::string StampImage(std::string& image, std::string_view address, std::span<const MinisignKey> keys) {
  if (address.size() > kSiteSlotBytes) {
    return "the address is " + std::to_string(address.size()) + " bytes long; the slot holds 240";
  }
  std::string slot(address);
  slot.resize(kSiteSlotBytes, '\0');
  if (AddressFromSlot(slot.data()).empty()) {
    return "the launcher would not use that address: it must start with http:// or https:// and hold only "
           "printable ASCII without spaces";
  }
  if (keys.size() > kMaxRealmKeys) return "a launcher holds at most two keys: the current one and the next";
  size_t at = 0;
  if (std::string reason = FindSlot(image, kSiteMarker, kSiteSlotBytes, "address", &at); !reason.empty()) {
    return reason;
  }

  // A build from before signed realms has no key slot; it can still take an address alone.
  size_t key_at = 0;
  const bool has_key_slot = image.find(kKeyMarker) != std::string::npos;
  if (!keys.empty() || has_key_slot) {
    if (std::string reason = FindSlot(image, kKeyMarker, kKeySlotBytes, "key", &key_at); !reason.empty()) {
      return keys.empty() ? reason : reason + "; this build can't check signatures";
    }
  }
  std::string key_slot;
  for (const MinisignKey& key : keys) key_slot.append(MinisignKeyLine(key)).push_back('\n');
  key_slot.resize(kKeySlotBytes, '\0');

  image.replace(at, kSiteSlotBytes, slot);
  if (has_key_slot) image.replace(key_at, kKeySlotBytes, key_slot);
  return std::string();
}

std::string ReadKeyFile(const std::string& path, MinisignKey* key) {
  std::string text;
  if (os::ReadWholeFile(path, kKeyFileLimit, &text) != os::kOk) return "can't read the key file " + path;
  switch (ParseMinisignKey(text, key)) {
    case MinisignError::kNone: return std::string();
    case MinisignError::kBadLength:
      return path + " isn't a minisign public key (is it the secret key? stamp the .pub file)";
    default: return path + " isn't a minisign public key";
  }
}

std::string StampFile(const std::string& input, std::string_view address, const std::string& output,
                      const std::vector<std::string>& key_files) {
  std::vector<MinisignKey> keys(key_files.size());
  for (size_t i = 0; i < key_files.size(); ++i) {
    if (std::string reason = ReadKeyFile(key_files[i], &keys[i]); !reason.empty()) return reason;
  }
  std::ifstream in(input, std::ios::binary);
  if (!in) return "can't read " + input;
  std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return "can't read " + input;
  const std::string reason = StampImage(image, address, keys);
  if (!reason.empty()) return reason;

  const std::string temporary = output + ".stamping";
  if (os::WriteWholeFile(temporary, image) != os::kOk) {
    std::remove(temporary.c_str());
    return "can't write " + output;
  }
  struct stat st;
  if (stat(input.c_str(), &st) == 0) chmod(temporary.c_str(), st.st_mode & 07777);
  if (std::rename(temporary.c_str(), output.c_str()) != 0) {
    std::remove(temporary.c_str());
    return "can't write " + output;
  }
  return std::string();
}

std::string PlainHttpWarning(std::string_view address, size_t key_count) {
  if (key_count > 0 || !address.starts_with("http://")) return std::string();
  return "warning: " + std::string(address) +
         " is plain HTTP and no realm key is stamped. Anyone on a player's network path (public Wi-Fi, their "
         "internet provider, a compromised router) can send this launcher a launcher build and game files of their "
         "choosing, and the launcher will install and run them. Stamp the realm's public key with --key (see "
         "realm-site keygen), or use an https:// address.";
}

}  // namespace vantrel
