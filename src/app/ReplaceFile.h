#pragma once

#include <string>

// Replaces the file `path` names with `text` atomically: a temporary file in the same folder,
// renamed over it, so a failed write never leaves it half-written. A symbolic link is followed
// to its target, which is replaced in its own folder. The new file keeps the old one's
// permission bits, owner, group and extended attributes (ACLs among them) as far as the system
// lets us; a new file gets mode 0644. A file the user may not write, one without any write
// permission bit, or one that is not a regular file is left untouched. On failure `error` names
// the file and the reason.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& error);
