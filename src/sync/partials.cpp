#include "sync/partials.h"

#include <algorithm>

#include "support/os.h"
#include "support/text.h"

namespace vantrel {
namespace {

std::string PartialName(const ManifestFile& entry) { return entry.sha256 + "-" + Decimal(entry.size); }

}  // namespace

std::string PartialFolder(std::string_view settings_folder) {
  if (settings_folder.empty()) return std::string();
  return std::string(settings_folder) + "\\partial";
}

std::string PartialPath(std::string_view settings_folder, const ManifestFile& entry) {
  const std::string folder = PartialFolder(settings_folder);
  if (folder.empty()) return folder;
  return folder + "\\" + PartialName(entry);
}

bool PlacePartial(std::string_view settings_folder, const ManifestFile& entry, const std::string& part_path) {
  const std::string partial = PartialPath(settings_folder, entry);
  if (partial.empty()) return false;
  const os::FileFacts facts = os::GetFileFacts(partial);
  if (!facts.exists || facts.is_folder) return false;
  // Only a true beginning of the file can be continued.
  if (facts.size == 0 || facts.size >= entry.size || os::MoveAcrossVolumes(partial, part_path) != os::kOk) {
    os::DeleteFilePath(partial);
    return false;
  }
  // A copy across volumes whose source couldn't be deleted must not be continued twice.
  os::DeleteFilePath(partial);
  return true;
}

bool PlaceEarlierBytes(std::string_view settings_folder, const std::vector<std::string>& kept,
                       const ManifestFile& entry, const std::string& part_path) {
  if (HasPartial(kept, entry) && PlacePartial(settings_folder, entry, part_path)) return true;
  const os::FileFacts left = os::GetFileFacts(part_path);
  if (!left.exists || left.is_folder) return false;
  if (left.size > 0 && left.size <= entry.size) return true;
  os::DeleteFilePath(part_path);
  return false;
}

void ParkLeftPart(std::string_view settings_folder, const ManifestFile& entry, const std::string& part_path) {
  const os::FileFacts left = os::GetFileFacts(part_path);
  if (!left.exists || left.is_folder) return;
  if (left.size > 0 && left.size < entry.size) {
    KeepPartial(settings_folder, entry, part_path);
  } else {
    os::DeleteFilePath(part_path);
  }
}

void KeepPartial(std::string_view settings_folder, const ManifestFile& entry, const std::string& part_path) {
  const std::string partial = PartialPath(settings_folder, entry);
  if (!partial.empty()) {
    os::CreateFolders(PartialFolder(settings_folder));
    if (os::MoveAcrossVolumes(part_path, partial) != os::kOk) os::DeleteFilePath(partial);
  }
  // Gone from the game folder either way: moved, or deleted as a failed download's part file is.
  os::DeleteFilePath(part_path);
}

std::vector<std::string> PrunePartials(std::string_view settings_folder, const std::vector<ManifestFile>& wanted) {
  const std::string folder = PartialFolder(settings_folder);
  std::vector<os::FolderEntry> entries;
  std::vector<std::string> kept;
  if (folder.empty() || os::ListFolder(folder, &entries) != os::kOk) return kept;
  std::vector<std::string> names;
  names.reserve(wanted.size());
  for (const ManifestFile& entry : wanted) names.push_back(PartialName(entry));
  std::sort(names.begin(), names.end());
  for (const os::FolderEntry& entry : entries) {
    if (entry.is_folder) continue;
    if (std::binary_search(names.begin(), names.end(), entry.name)) {
      kept.push_back(entry.name);
    } else {
      os::DeleteFilePath(folder + "\\" + entry.name);
    }
  }
  std::sort(kept.begin(), kept.end());
  return kept;
}

bool HasPartial(const std::vector<std::string>& kept, const ManifestFile& entry) {
  return !kept.empty() && std::binary_search(kept.begin(), kept.end(), PartialName(entry));
}

}  // namespace vantrel
