// Puts a downloaded executable in place of the installed one. Each step is its own function,
// called in order by InstallDownloadedFile, so that further checks can go between them.
#pragma once

#include <string>

// Installs the part file `part` as `target`: CheckPartFile, KeepPreviousAndBeginTrial,
// RenameIntoPlace, SyncFolderOf. True
// when all steps passed; else false with `cause` ("<path>: <reason>", "zero-byte file"). The
// caller removes a part file left behind. Blocks on the disk.
bool InstallDownloadedFile(const std::string& part, const std::string& target, std::string* cause);

// The part file is not empty and its bytes are on the disk, so a power loss right after the
// rename cannot leave an empty executable behind.
bool CheckPartFile(const std::string& part, std::string* cause);
// Safe updates: keeps `target` as its previous version and writes the trial record naming `part`
// (ReleaseKeeper::PrepareInstall of InstallReleases(); nothing when there is none for `target`).
bool KeepPreviousAndBeginTrial(const std::string& part, const std::string& target, std::string* cause);
// Renames `part` over `target` (atomic: the old file or the new one, never half of either).
bool RenameIntoPlace(const std::string& part, const std::string& target, std::string* cause);
// Syncs the folder that holds `target`, so that the rename itself survives a power loss.
bool SyncFolderOf(const std::string& target, std::string* cause);
