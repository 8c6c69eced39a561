#pragma once
#include <string>

// The operating system's last error, apart from errno. On Windows this is the
// thread's GetLastError value with its FormatMessage text. POSIX has no error
// channel besides errno, so there the answer is always "none" and callers fall
// back to the errno table.
bool GetLastSystemError(int& number, std::string& text);

// The C library's text for an errno value; empty when it has none.
std::string ErrnoText(int errnum);
