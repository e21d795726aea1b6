#include "vantrel-stamp/stamp.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "launcher/startup.h"
#include "support/os.h"

namespace vantrel {

std::string StampImage(std::string& image, std::string_view address) {
  if (address.size() > kSiteSlotBytes) {
    return "the address is " + std::to_string(address.size()) + " bytes long; the slot holds 240";
  }
  std::string slot(address);
  slot.resize(kSiteSlotBytes, '\0');
  if (AddressFromSlot(slot.data()).empty()) {
    return "the launcher would not use that address: it must start with http:// or https:// and hold only "
           "printable ASCII without spaces";
  }
  const size_t first = image.find(kSiteMarker);
  if (first == std::string::npos) return "the file has no address slot (is it a Vantrel launcher?)";
  if (image.find(kSiteMarker, first + 1) != std::string::npos) {
    return "the file holds the slot marker more than once, so the slot is ambiguous";
  }
  const size_t at = first + kSiteMarker.size();
  if (at + kSiteSlotBytes > image.size()) return "the file ends inside the address slot";
  image.replace(at, kSiteSlotBytes, slot);
  return std::string();
}

std::string StampFile(const std::string& input, std::string_view address, const std::string& output) {
  std::ifstream in(input, std::ios::binary);
  if (!in) return "can't read " + input;
  std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return "can't read " + input;
  const std::string reason = StampImage(image, address);
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

}  // namespace vantrel
