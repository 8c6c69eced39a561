#pragma once
// What the read benchmarks share: CPU clocks, peers run as child processes,
// document-like text, and the engine's side of ZipArchive_Decode with a
// temporary stream that only counts.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_file_stream.h"
#include "plugin/VFInterfaces.h"

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

// The engine's temporary stream, counting what is written and keeping none.
class CountingStream final : public VFStreamSlots {
public:
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
        position += count;
        size = std::max(size, position);
        *put = count;
        return 0;
    }
    int VF_CALL SetSize(unsigned int low, unsigned int) override
    {
        size = low;
        return 0;
    }
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

} // namespace bench
