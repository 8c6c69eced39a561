#include "Output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Progress.h"

namespace zipscan {

Output::~Output()
{
    if (log >= 0) ::close(log);
}

bool Output::OpenLog(const std::string& path, std::string& error)
{
    // Appended to as clamscan's --log is; each piece goes in one write so
    // that two scans logging to one file do not cut into each other's lines.
    log = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (log < 0) {
        error = path + ": cannot open the log: " + std::strerror(errno);
        return false;
    }
    return true;
}

void Output::Write(std::FILE* stream, const std::string& text)
{
    if (progress)
        progress->Print(stream, text);
    else
        std::fputs(text.c_str(), stream);
}

void Output::Log(const std::string& text)
{
    if (log < 0) return;
    std::lock_guard<std::mutex> hold(lock);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(log, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            logOk = false;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void Output::Report(const std::string& text)
{
    if (text.empty()) return;
    if (!quiet) Write(stdout, text);
    Log(text);
}

void Output::Error(const std::string& message)
{
    const std::string line = "zipscan: " + message + "\n";
    Write(stderr, line);
    Log(line);
}

} // namespace zipscan
