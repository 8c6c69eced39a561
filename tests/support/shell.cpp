#include "support/shell.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#ifdef _WIN32
namespace {

[[noreturn]] void NoShell(const std::string& command)
{
    throw std::runtime_error("the Windows build has no Linux shell for: " + command);
}

} // namespace

bool Shell(const std::string& command) { NoShell(command); }
std::string ShellOutput(const std::string& command, int*) { NoShell(command); }
bool Python(const std::string& script) { NoShell("python3 - <<< " + script.substr(0, 60)); }
#else
bool Shell(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

std::string ShellOutput(const std::string& command, int* status)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen failed for: " + command);
    std::string output;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int raw = pclose(pipe);
    if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

bool Python(const std::string& script)
{
    FILE* pipe = popen("python3 -", "w");
    if (!pipe) return false;
    std::fwrite(script.data(), 1, script.size(), pipe);
    return pclose(pipe) == 0;
}
#endif

std::string Quote(const std::string& s)
{
    std::string quoted = "'";
    for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}
