#pragma once
// "-" among the files: standard input is spooled to a private temporary
// file, so that the archive can be read at any position, then scanned as a
// file (never cleaned, moved or removed: there is no file to change).
#include <string>

namespace zipscan {

// The name standard input is reported under, as clamscan names it.
extern const char* const kStandardInputName;

// Copies standard input into a file nobody else can open (O_TMPFILE, or
// mkstemp in a private folder and unlinked at once), mode 0600, in TMPDIR or
// /tmp. Answers its descriptor, positioned anywhere, or -1 with a reason.
int SpoolStandardInput(std::string& error);

} // namespace zipscan
