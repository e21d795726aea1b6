#pragma once
// The Realm manifest: the one JSON document through which a realm tells its launchers what to
// run and which files to keep. Parsed strictly, validated before anything of it is used, and
// published into the launcher state only as a whole.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/state.h"
#include "realm/http_client.h"

namespace vantrel {

inline constexpr size_t kManifestLimit = 4194304;
inline constexpr char kManifestPath[] = "/api/launcher/manifest";
inline constexpr char kDefaultGameProgram[] = "Diablo II.exe";

struct ManifestFile {
  uint64_t size = 0;
  std::string path;
  std::string sha256;
  // The entry's block map ("blockmap": {"size", "sha256"}), when it names a well-formed one; a
  // malformed value only costs the map, as a launcher that predates maps skips the key.
  bool has_blockmap = false;
  uint64_t blockmap_size = 0;
  std::string blockmap_sha256;
};

struct Manifest {
  std::string realm;
  std::string address;
  std::string revision;
  std::string news;
  std::string exe = kDefaultGameProgram;
  std::string args;
  bool has_launcher = false;  // false: no self-update
  std::string launcher_sha256;
  uint64_t launcher_size = 0;
  std::vector<ManifestFile> files;  // in the document's order
};

// False when the body isn't one JSON object that follows the manifest's shape: a known key
// twice in one object, a known key with a value of the wrong type, a missing launcher or
// file key, a size that isn't a whole number of 0 to 2^64-1, or anything after the object.
bool ParseManifest(std::string_view body, Manifest* manifest);

// Whole unsigned number from JSON number text ("1000", "1e3", "1000.0"); false for a
// fraction, a negative value, a value past 64 bits or text that isn't a JSON number.
bool ParseWholeNumber(std::string_view text, uint64_t* value);

// Printable ASCII without the bytes a command line would read as quoting, variables,
// redirection or escapes, and no longer than the state's 600-byte text.
bool IsPassableArguments(std::string_view args);

// Empty when the manifest may be used; else the detail of the first fault, in the order the
// faults are looked for (address, game program, arguments, launcher hash, each file).
std::string_view ValidateManifest(const Manifest& manifest);

// The headline and detail an update run finishes with when the manifest can't be had.
struct ManifestFailure {
  std::string headline;
  std::string detail;
};

// Judges a fetched answer: true with `manifest` filled, or false with `failure` filled.
bool AcceptManifestAnswer(const FetchResult& answer, Manifest* manifest, ManifestFailure* failure);

// Fetches realm_address + "/api/launcher/manifest" as it stands (out of memory is an error).
FetchResult FetchManifestAnswer(HttpSession& session, std::string_view realm_address);

// Fetches realm_address + "/api/launcher/manifest" and judges the answer.
bool FetchManifest(HttpSession& session, std::string_view realm_address, Manifest* manifest, ManifestFailure* failure);

// Stores the realm name ("Realm" when empty), news, game program, arguments and realm game
// address under the lock, the file set in the worker context, then notifies the window.
void PublishManifest(WorkerContext& context, const Manifest& manifest);

}  // namespace vantrel
