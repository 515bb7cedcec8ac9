// Files that the release dropped ("D" entries of its list): planned for
// removal only where the player's folder still holds the very bytes that an
// earlier release installed, so a file the player changed or made is never
// touched, and never one of the updater's own files.
#pragma once
#include <vector>

#include "UpdatePlan.h"

// A regular file (not a link) of `size` bytes whose SHA-256 is `sha256`.
bool IsUnchangedInstalledFile(const AnsiString& path, int64_t size, const AnsiString& sha256);
// Adds to `plan` the removals of `remote` (a versions list, line 0 its
// header: its own "D" lines and those of the removals file it names) whose
// file lies in `appFolder` unchanged and that no other entry of the list
// brings in.
void PlanRemovals(const std::vector<AnsiString>& remote, const AnsiString& appFolder, TUpdatePlan& plan);
// The "D" lines of the removals file that the list header `header` names,
// as fetched into `appFolder`; none when there is none or it is not the one
// named.
std::vector<AnsiString> ListedRemovals(const AnsiString& header, const AnsiString& appFolder);
