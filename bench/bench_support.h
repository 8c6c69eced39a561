#pragma once
// What the benchmarks share: CPU clocks, peers run as child processes,
// document-like text, a scratch folder, the engine's side of
// ZipArchive_Decode with a stream that only counts, and a main that prints
// its summary after the runs.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "bench_file_stream.h"
#include "errors/ZipException.h"
#include "plugin/VFInterfaces.h"
#include "storage/ZipStream.h"

extern "C" char** environ;

namespace bench {

inline double ThreadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs a program with its output on /dev/null; its CPU seconds, or -1.
inline double RunChild(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Text with some variety, so that deflate works as on ordinary documents.
inline std::vector<uint8_t> MakeDocumentText(uint32_t size)
{
    static const char* const kWords[] = {"the ", "archive ", "entry ", "scanner ", "module ",
                                         "of ", "and ", "deflate ", "window ", "header\n",
                                         "data ", "stream ", "offset ", "virus ", "clean "};
    std::vector<uint8_t> out;
    out.reserve(size);
    uint32_t state = 2463534242u;
    char number[16];
    while (out.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const char* word = kWords[state % 15];
        if ((state >> 8) % 7 == 0) {
            std::snprintf(number, sizeof number, "%u ", (state >> 12) % 100000);
            word = number;
        }
        for (const char* p = word; *p && out.size() < size; ++p) out.push_back(static_cast<uint8_t>(*p));
    }
    return out;
}

// Counts what is written to it and keeps none: the engine's temporary
// stream, and a module stream to extract into.
class CountingStream final : public VFStreamSlots, public CZipStream {
public:
    // The engine's side.
    int VF_CALL Seek(unsigned int low, int, int origin, unsigned long long* out) override
    {
        position = origin == 2 ? size + low : origin == 1 ? position + low : low;
        if (out) *out = position;
        return 0;
    }
    int VF_CALL Read(void*, unsigned int, unsigned int* got) override
    {
        *got = 0;
        return 0;
    }
    int VF_CALL Write(const void*, unsigned int count, unsigned int* put) override
    {
        Write(nullptr, count);
        *put = count;
        return 0;
    }
    int VF_CALL SetSize(unsigned int low, unsigned int) override
    {
        size = low;
        return 0;
    }

    // The module's side.
    void Close() override {}
    void Flush() override {}
    uint64_t GetPosition() override { return position; }
    uint64_t Seek(int64_t offset, int origin) override
    {
        const uint64_t base = origin == end ? size : origin == current ? position : 0;
        return position = base + static_cast<uint64_t>(offset);
    }
    uint64_t GetLength() override { return size; }
    void SetLength(uint64_t length) override { size = length; }
    std::string GetFilePath() override { return {}; }
    uint32_t Read(void*, uint32_t) override { return 0; }
    void Write(const void*, uint32_t count) override
    {
        position += count;
        size = std::max(size, position);
    }
    bool IsClosed() override { return false; }

    uint64_t size = 0;
    uint64_t position = 0;
};

// Wants every entry and finds it clean; keeps the size it was given, and
// gives a password when asked.
class CountingEngine final : public VFDecodeCallback {
public:
    explicit CountingEngine(const char* passwordArg = nullptr) : password(passwordArg) {}
    int VF_CALL IsStopRequested() override { return 0; }
    int VF_CALL WantEntry(const char*) override { return 1; }
    int VF_CALL ScanEntry(VFStream*, const char*, VFStream*, unsigned long long* size, int, int) override
    {
        scanned = size ? *size : 0;
        return 0;
    }
    int VF_CALL QueryPassword(const char*, char* buffer, int* size) override
    {
        if (!password || asked++) return 0;
        const int n = static_cast<int>(std::strlen(password));
        if (n >= *size) return 0;
        std::memcpy(buffer, password, static_cast<size_t>(n) + 1);
        *size = n;
        return 1;
    }
    const char* password;
    int asked = 0;
    uint64_t scanned = 0;
};

// One reading of an archive of one entry through the engine's export;
// false when the engine was not given `size` bytes.
inline bool DecodeOnce(const std::string& archive, uint64_t size, const char* password = nullptr)
{
    FileStream stream(archive);
    CountingStream temporary;
    CountingEngine engine(password);
    ZipArchive_Decode(&stream, nullptr, 0, 0, &temporary, &engine);
    return engine.scanned == size && temporary.size == size;
}

template <class F>
inline double BestOf(int runs, F once)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t = once();
        if (t < 0) return -1;
        best = std::min(best, t);
    }
    return best;
}

inline double ThreadTime(const std::function<bool()>& once)
{
    const double start = ThreadSeconds();
    return once() ? ThreadSeconds() - start : -1.0;
}

// A fresh folder under /tmp for what a run makes, removed with all in it.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& prefix)
    {
        std::string name = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(name.data())) path = name;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string operator/(const std::string& name) const { return path + "/" + name; }

    std::string path;  // empty when no folder could be made
};

// Runs the benchmarks the command line selects, through `display` when
// given, then prints `summary`; 1 for an unknown argument or a summary that
// fails on an archive.
inline int RunBenchmarks(int argc, char** argv, const std::function<void()>& summary,
                         benchmark::BenchmarkReporter* display = nullptr)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks(display);
    benchmark::Shutdown();
    try {
        if (summary) summary();
    } catch (const CZipException& e) {
        std::printf("summary: failed with archive error %d\n", e.code);
        return 1;
    }
    return 0;
}

} // namespace bench
