// Puts a downloaded executable in place of the installed one. Each step is its own function,
// called in order by InstallDownloadedFile, so that further checks can go between them.
#pragma once

#include <string>

class ReleaseKeeper;
class UpdateTrust;
struct StreamedPayload;

// What an install checks and keeps beside the file; a null entry skips its step.
struct InstallGuards {
    const UpdateTrust* trust = nullptr;         // signatures (CheckSignature)
    const StreamedPayload* streamed = nullptr;  // the hash taken while the part was written
    ReleaseKeeper* releases = nullptr;          // previous version and trial (safe updates)
};

// Installs the part file `part` as `target`: CheckPartFile, CheckSignature,
// KeepPreviousAndBeginTrial, RenameIntoPlace, SyncFolderOf, RefusalEnded. True when all steps
// passed; else false with `cause` ("<path>: <reason>", "zero-byte file", "no valid signature:
// <why>"). The caller removes a part file left behind. Blocks on the disk.
bool InstallDownloadedFile(const std::string& part, const std::string& target, std::string* cause,
                           const InstallGuards& guards = {});

// The part file is not empty and its bytes are on the disk, so a power loss right after the
// rename cannot leave an empty executable behind.
bool CheckPartFile(const std::string& part, std::string* cause);
// With checking on in `trust` (null: off), the part file's appended signature verifies against a
// trusted key, checked on an open descriptor; else `cause` is "no valid signature: <why>". With
// `streamed` taken over as many bytes as the file now holds, its hash is used instead of reading
// the file; otherwise, and for legacy "Ed" signatures, the file is read.
bool CheckSignature(const std::string& part, const UpdateTrust* trust, std::string* cause,
                    const StreamedPayload* streamed = nullptr);
// Safe updates: keeps `target` as its previous version and writes the trial record naming `part`
// (ReleaseKeeper::PrepareInstall of `releases`; nothing when it is null or keeps another file).
bool KeepPreviousAndBeginTrial(const std::string& part, const std::string& target, ReleaseKeeper* releases,
                               std::string* cause);
// Renames `part` over `target` (atomic: the old file or the new one, never half of either).
bool RenameIntoPlace(const std::string& part, const std::string& target, std::string* cause);
// Syncs the folder that holds `target`, so that the rename itself survives a power loss.
bool SyncFolderOf(const std::string& target, std::string* cause);
// Safe updates: the install is done, so a refusal on file ends (ReleaseKeeper::Installed). True.
bool RefusalEnded(const std::string& target, ReleaseKeeper* releases);
