#include "realm-site/export.h"

#include <sys/stat.h>

#include <filesystem>

#include "realm-site/gateway_reg.h"
#include "support/os.h"
#include "support/text.h"

namespace vantrel::site {
namespace fs = std::filesystem;
namespace {

bool IsInside(const fs::path& inner, const fs::path& outer) {
  auto a = inner.begin();
  for (auto b = outer.begin(); b != outer.end(); ++b, ++a) {
    if (b->empty()) continue;  // a trailing separator
    if (a == inner.end() || *a != *b) return false;
  }
  return true;
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

// Copies one file and makes sure the copy is what the catalog describes: a file changed
// during the export would otherwise be published under an old hash.
bool CopyChecked(const FileRecord& record, const fs::path& target, std::string* error) {
  std::error_code problem;
  fs::create_directories(target.parent_path(), problem);
  if (!problem) fs::copy_file(record.disk_path, target, fs::copy_options::overwrite_existing, problem);
  if (problem) {
    *error = target.string() + " can't be written: " + problem.message();
    return false;
  }
  struct stat source {};
  if (stat(record.disk_path.c_str(), &source) != 0 || static_cast<uint64_t>(source.st_size) != record.size ||
      static_cast<int64_t>(source.st_mtim.tv_sec) * 1000000000 + source.st_mtim.tv_nsec != record.mtime_ns ||
      fs::file_size(target, problem) != record.size) {
    *error = record.disk_path + " changed during the export; run it again";
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
  if (problem || IsInside(out, root) || IsInside(root, out)) {
    *error = out_dir + ": export somewhere outside the realm folder";
    return false;
  }
  if (fs::exists(out, problem)) {
    if (!fs::is_directory(out, problem)) {
      *error = out_dir + " exists and isn't a folder";
      return false;
    }
    const bool ours = fs::exists(out / kExportMarker, problem);
    if (!ours && !fs::is_empty(out, problem)) {
      *error = out_dir + " isn't empty and wasn't written by realm-site export: choose an empty folder";
      return false;
    }
    // Files dropped from the realm must not stay downloadable from an earlier export.
    for (const char* part : {"api", "launcher", "client-pack"}) fs::remove_all(out / part, problem);
    if (problem) {
      *error = out_dir + ": the earlier export can't be removed: " + problem.message();
      return false;
    }
  }
  if (!WriteText(out / kExportMarker, "written by realm-site export\n", error)) return false;

  for (const FileRecord& record : catalog->files) {
    if (!CopyChecked(record, out / "api/launcher/file" / record.path, error)) return false;
  }
  if (catalog->launcher && !CopyChecked(*catalog->launcher, out / "launcher/download", error)) return false;
  if (!WriteText(out / "client-pack/gateway.reg", GatewayRegFile(site.config()), error)) return false;
  // The manifest goes last: a half-written export never names files it doesn't hold.
  return WriteText(out / "api/launcher/manifest", catalog->manifest, error);
}

}  // namespace vantrel::site
