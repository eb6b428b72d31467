// File moves and replacements that never leave a half-written file under a
// name the user sees.
#pragma once

#include "support/status.h"

#include <functional>
#include <string>

namespace quovix {

// The same file: same device and inode when both exist, else the same path
// once resolved (a file to be written may not exist yet).
bool sameFile(const std::string& a, const std::string& b);

// Copies source to target; false (errno set) when the copy is incomplete.
bool copyFile(const std::string& source, const std::string& target);

// Renames, or copies and removes the source across file systems; false when
// the target was not made (a partial copy is removed).
bool moveFile(const std::string& source, const std::string& target);

// "<pid>-<host tag>": what names of temporaries made beside outputs carry, so
// that a later run can tell those of a process that died (SIGKILL, a crash)
// from those of a live one, on this host and in this PID namespace only.
std::string temporaryOwnerTag();

// Creates a new empty file beside `path` (same folder, so a rename onto `path`
// is atomic), named ".<name>.part-<owner tag><8 hex digits>", and returns its
// name; "" when none can be made (errno set).
std::string reserveTempBeside(const std::string& path);

// Removes from `folder` ("" for the current one) the temporaries that a
// process of this host and namespace which no longer exists made beside its
// outputs: ".<name>.part-<owner tag>…" and ".quovix-meta-<owner tag>…" files
// of this user. Returns how many were removed.
int removeOrphanedTemporaries(const std::string& folder);

// fsync of a written file before it is renamed into place.
bool syncFile(const std::string& path);

// Completes a file written under the temporary name `temp`: synced and renamed
// onto `target`; on failure the temporary file is removed and errno kept.
bool commitTemp(const std::string& temp, const std::string& target);

} // namespace quovix
