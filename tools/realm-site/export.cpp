#include "realm-site/export.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "realm-site/gateway_reg.h"
#include "support/os.h"
#include "support/text.h"

namespace vantrel::site {
namespace fs = std::filesystem;
namespace {

constexpr const char* kStaging = ".realm-site-next";
constexpr const char* kMarkerHead = "written by realm-site export";
constexpr const char* kBlockmapFolder = "api/launcher/blockmap";

int64_t MtimeNs(const struct stat& facts) {
  return static_cast<int64_t>(facts.st_mtim.tv_sec) * 1000000000 + facts.st_mtim.tv_nsec;
}

bool WriteText(const fs::path& path, const std::string& text, std::string* error) {
  std::error_code problem;
  fs::create_directories(path.parent_path(), problem);
  if (problem || os::WriteWholeFile(path.string(), text) != os::kOk) {
    *error = path.string() + " can't be written";
    return false;
  }
  return true;
}

// What the last export wrote, so unchanged files can be linked instead of copied again.
struct Exported {
  std::string sha256;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
};

std::map<std::string, Exported> ReadMarker(const fs::path& marker) {
  std::map<std::string, Exported> exported;
  std::string text;
  if (os::ReadWholeFile(marker.string(), 268435456, &text) != os::kOk) return exported;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    Exported entry;
    std::string path;
    if (!(fields >> entry.sha256 >> entry.size >> entry.mtime_ns) || fields.get() != ' ' ||
        !std::getline(fields, path) || path.empty()) {
      continue;
    }
    exported[path] = entry;
  }
  return exported;
}

// Puts one game file into the new tree: a hard link to the last export's copy when that copy
// is still exactly what was written, else a fresh copy, checked against the catalog after
// copying (a file changed during the export would otherwise be published under an old hash).
bool PlaceFile(const FileRecord& record, const fs::path& previous, const Exported* was, const fs::path& target,
               Exported* now, std::string* error) {
  std::error_code problem;
  fs::create_directories(target.parent_path(), problem);
  struct stat old_facts {};
  if (was != nullptr && was->sha256 == record.sha256 && was->size == record.size &&
      stat(previous.c_str(), &old_facts) == 0 && static_cast<uint64_t>(old_facts.st_size) == record.size &&
      MtimeNs(old_facts) == was->mtime_ns && link(previous.c_str(), target.c_str()) == 0) {
    *now = *was;
    return true;
  }
  if (!problem) fs::copy_file(record.disk_path, target, fs::copy_options::overwrite_existing, problem);
  if (problem) {
    *error = target.string() + " can't be written: " + problem.message();
    return false;
  }
  struct stat source {};
  struct stat copy {};
  if (stat(record.disk_path.c_str(), &source) != 0 || static_cast<uint64_t>(source.st_size) != record.size ||
      MtimeNs(source) != record.mtime_ns || stat(target.c_str(), &copy) != 0 ||
      static_cast<uint64_t>(copy.st_size) != record.size) {
    *error = record.disk_path + " changed during the export; run it again";
    return false;
  }
  *now = Exported{record.sha256, record.size, MtimeNs(copy)};
  return true;
}

// Puts `fresh` where `live` is in one step: a folder is swapped whole with the old one (which
// ends up at `fresh`), a file replaces the old one. Where the file system can't swap, the old
// folder is moved aside first: a moment without it, but never a half-written one.
bool Switch(const fs::path& fresh, const fs::path& live, std::string* error) {
  std::error_code problem;
  fs::create_directories(live.parent_path(), problem);
  struct stat facts {};
  const bool folder = stat(fresh.c_str(), &facts) == 0 && S_ISDIR(facts.st_mode);
  if (folder && fs::exists(live, problem)) {
    if (renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, live.c_str(), RENAME_EXCHANGE) == 0) return true;
    const fs::path aside = fresh.string() + ".old";
    if (rename(live.c_str(), aside.c_str()) != 0 || rename(fresh.c_str(), live.c_str()) != 0 ||
        rename(aside.c_str(), fresh.c_str()) != 0) {
      *error = live.string() + " can't be replaced: " + std::strerror(errno);
      return false;
    }
    return true;
  }
  if (rename(fresh.c_str(), live.c_str()) != 0) {
    *error = live.string() + " can't be replaced: " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool ExportSite(Site& site, const std::string& out_dir, std::string* error) {
  if (!site.Refresh(error)) return false;
  std::shared_ptr<const Catalog> catalog = site.Current();

  std::error_code problem;
  const fs::path out = fs::weakly_canonical(fs::absolute(out_dir), problem);
  const fs::path root = fs::weakly_canonical(fs::absolute(site.root()), problem);
  if (problem || IsInsideFolder(out, root) || IsInsideFolder(root, out)) {
    *error = out_dir + ": export somewhere outside the realm folder";
    return false;
  }
  const fs::path marker = out / kExportMarker;
  if (fs::exists(out, problem)) {
    if (!fs::is_directory(out, problem)) {
      *error = out_dir + " exists and isn't a folder";
      return false;
    }
    if (!fs::exists(marker, problem) && !fs::is_empty(out, problem)) {
      *error = out_dir + " isn't empty and wasn't written by realm-site export: choose an empty folder";
      return false;
    }
  }
  if (!fs::exists(marker, problem) && !WriteText(marker, std::string(kMarkerHead) + "\n", error)) return false;

  // The new tree is built beside the live one, on the same file system so it can be renamed in.
  const fs::path next = out / kStaging;
  fs::remove_all(next, problem);
  const std::map<std::string, Exported> before = ReadMarker(marker);
  std::ostringstream index;
  index << kMarkerHead << "\n";
  for (const FileRecord& record : catalog->files) {
    const std::string relative = "api/launcher/file/" + record.path;
    auto was = before.find(relative);
    Exported now;
    if (!PlaceFile(record, out / relative, was == before.end() ? nullptr : &was->second, next / relative, &now,
                   error)) {
      return false;
    }
    index << now.sha256 << ' ' << now.size << ' ' << now.mtime_ns << ' ' << relative << '\n';
  }
  if (catalog->launcher) {
    auto was = before.find("launcher/download");
    Exported now;
    if (!PlaceFile(*catalog->launcher, out / "launcher/download", was == before.end() ? nullptr : &was->second,
                   next / "launcher/download", &now, error)) {
      return false;
    }
    index << now.sha256 << ' ' << now.size << ' ' << now.mtime_ns << " launcher/download\n";
  }
  // Block maps at the path the site serves them on, so a static realm and a served one match.
  fs::create_directories(next / kBlockmapFolder, problem);
  for (const FileRecord& record : catalog->files) {
    if (record.blockmap != nullptr && !WriteText(next / kBlockmapFolder / record.sha256, *record.blockmap, error)) {
      return false;
    }
  }
  if (!WriteText(next / "client-pack/gateway.reg", GatewayRegFile(site.config()), error)) return false;
  for (const SnapshotAnswer& snapshot : kSnapshotAnswers) {
    const std::string& text = (*catalog).*(snapshot.text);
    if (!text.empty() && !WriteText(next / (snapshot.path + 1), text, error)) return false;
  }
  fs::create_directories(next / "api/launcher/file", problem);

  // The switch: files first, the small answers after them and the manifest last, so the
  // folder never names a file it doesn't hold; what the realm dropped goes after that.
  if (!Switch(next / "api/launcher/file", out / "api/launcher/file", error)) return false;
  if (!Switch(next / kBlockmapFolder, out / kBlockmapFolder, error)) return false;
  if (catalog->launcher && !Switch(next / "launcher/download", out / "launcher/download", error)) return false;
  if (!Switch(next / "client-pack/gateway.reg", out / "client-pack/gateway.reg", error)) return false;
  for (const SnapshotAnswer& snapshot : kSnapshotAnswers) {
    // A realm that stopped signing must not keep serving the last signature it exported.
    if (((*catalog).*(snapshot.text)).empty()) {
      fs::remove(out / (snapshot.path + 1), problem);
    } else if (!Switch(next / (snapshot.path + 1), out / (snapshot.path + 1), error)) {
      return false;
    }
  }
  if (!catalog->launcher) fs::remove(out / "launcher/download", problem);
  if (!WriteText(out / (std::string(kExportMarker) + ".new"), index.str(), error)) return false;
  fs::rename(out / (std::string(kExportMarker) + ".new"), marker, problem);
  fs::remove_all(next, problem);
  if (problem) {
    *error = next.string() + " (the last export's files) can't be removed: " + problem.message();
    return false;
  }
  return true;
}

}  // namespace vantrel::site
