#pragma once
// The Linux tools the tests make or check archives with (Info-ZIP zip and
// unzip, 7-Zip's 7zz, Python, sh), run through the shell. The Windows build
// has none of them and its std::system goes to cmd.exe: there every call
// throws, naming the command, and the tests that need the tools skip before
// (ZIPEXT_NEED_LINUX_TOOLS in support/test_platform.h).
#include <string>

// Runs a command; true when it exits with 0.
bool Shell(const std::string& command);
// Runs a command and returns its standard output; its exit status (-1 when
// it did not exit) in status.
std::string ShellOutput(const std::string& command, int* status = nullptr);
// Runs a Python 3 script handed over on standard input; true when it exits
// with 0.
bool Python(const std::string& script);
// A string as one word of a shell command.
std::string Quote(const std::string& s);
