#pragma once

// Symbolic links (reparse points on Windows) among the paths an extraction
// writes to: the extraction replaces or refuses them instead of writing
// through them. Paths may use '\' as separator, as the other helpers take them.

// True when the path itself (not what it points to) is a symbolic link.
bool IsSymbolicLink(const char* path);
// Removes the link itself, never its target; false when that fails.
bool RemoveSymbolicLink(const char* path);
