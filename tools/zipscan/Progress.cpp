#include "Progress.h"

#include "Report.h"

namespace zipscan {

namespace {
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr std::size_t kNameWidth = 40;
}

ProgressLine::ProgressLine(bool on, std::size_t files) : enabled(on), totalFiles(files) {}

ProgressLine::~ProgressLine()
{
    std::lock_guard<std::mutex> hold(lock);
    Erase();
}

void ProgressLine::FileStarted(const std::string& path)
{
    if (!enabled) return;
    std::lock_guard<std::mutex> hold(lock);
    current = path;
    Draw(false);
}

void ProgressLine::EntryScanned(std::uint64_t size)
{
    if (!enabled) return;
    std::lock_guard<std::mutex> hold(lock);
    ++entries;
    bytes += size;
    Draw(false);
}

void ProgressLine::FileFinished()
{
    if (!enabled) return;
    std::lock_guard<std::mutex> hold(lock);
    ++filesDone;
    Draw(false);
}

void ProgressLine::Print(std::FILE* stream, const std::string& text)
{
    std::lock_guard<std::mutex> hold(lock);
    Erase();
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

void ProgressLine::Draw(bool force)
{
    auto now = std::chrono::steady_clock::now();
    if (!force && shown && now - lastDraw < kRedrawEvery) return;
    lastDraw = now;
    std::string name = Printable(current);
    if (name.size() > kNameWidth) name = "..." + name.substr(name.size() - (kNameWidth - 3));
    char line[256];
    std::snprintf(line, sizeof line, "\rzipscan: %zu/%zu files, %llu entries, %.1f MB scanned  %s\033[K",
                  filesDone, totalFiles, static_cast<unsigned long long>(entries),
                  static_cast<double>(bytes) / 1e6, name.c_str());
    std::fputs(line, stderr);
    std::fflush(stderr);
    shown = true;
}

void ProgressLine::Erase()
{
    if (!shown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown = false;
}

} // namespace zipscan
