#pragma once
// Bytes of downloads that ended early, kept out of the game folder in "partial" under the
// settings folder and named by the file's hash text and size, so a later run asks only for the
// rest. The game folder never holds them between runs: a partial is placed as the ".part" file
// when its download starts and moved back if that download ends early again.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "realm/manifest.h"

namespace vantrel {

// settings folder + "\partial"; empty when there is no settings folder to keep partials in.
std::string PartialFolder(std::string_view settings_folder);
// The partial folder + "\" + hash text + "-" + size.
std::string PartialPath(std::string_view settings_folder, const ManifestFile& entry);

// Moves the partial of `entry`, when there is a usable one, to `part_path`. True when the part
// file now holds its bytes; a partial that can't be used or moved is deleted.
bool PlacePartial(std::string_view settings_folder, const ManifestFile& entry, const std::string& part_path);

// Puts whatever bytes an earlier run had of `entry` at `part_path`: its kept partial, or else a
// ".part" a killed launcher left there, which is taken over as it stands. True when there are
// some; a ".part" longer than the entry's file is no beginning of it and is deleted.
bool PlaceEarlierBytes(std::string_view settings_folder, const std::vector<std::string>& kept,
                       const ManifestFile& entry, const std::string& part_path);

// Moves a ".part" that a killed launcher left at `part_path` into the partial folder, or deletes
// it when it can't be a beginning of `entry`: a run that ends before it reaches an entry leaves no
// ".part" in the game folder either.
void ParkLeftPart(std::string_view settings_folder, const ManifestFile& entry, const std::string& part_path);

// Moves what a download that ended early left at `part_path` into the partial folder; when that
// fails the bytes are deleted, as any failed download's are. Nothing stays at `part_path`.
void KeepPartial(std::string_view settings_folder, const ManifestFile& entry, const std::string& part_path);

// Deletes every partial that none of `wanted` names, so the folder holds at most the bytes of
// files still to be downloaded. Returns the names of those kept, sorted: the run asks the disk
// about a partial only when it is among them, not once per file.
std::vector<std::string> PrunePartials(std::string_view settings_folder, const std::vector<ManifestFile>& wanted);
// `entry` has a partial among `kept`.
bool HasPartial(const std::vector<std::string>& kept, const ManifestFile& entry);

}  // namespace vantrel
