// Recognising a 65535-entry archive through the module's export, against
// `unzip -l` on the same file and against a bare loop that only parses the
// central records from memory (the floor). Prints times and ratios; the goal
// is at most 0.1 of unzip -l's time.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"
#include "plugin/VFInterfaces.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A read-only engine stream over a memory block.
class MemoryHost : public VFStreamSlots {
public:
    explicit MemoryHost(const Bytes& bytes) : data(bytes) {}
    int VF_CALL Seek(unsigned int low, int high, int origin, unsigned long long* out) override
    {
        int64_t offset = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
        int64_t from = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(position)
                                                      : static_cast<int64_t>(data.size());
        int64_t to = from + offset;
        if (to >= 0) position = static_cast<uint64_t>(to);
        if (out) *out = position;
        return 0;
    }
    int VF_CALL Read(void* buffer, unsigned int count, unsigned int* done) override
    {
        uint64_t left = position < data.size() ? data.size() - position : 0;
        unsigned int n = static_cast<unsigned int>(std::min<uint64_t>(left, count));
        if (n) std::memcpy(buffer, data.data() + position, n);
        position += n;
        if (done) *done = n;
        return 0;
    }
    int VF_CALL Write(const void*, unsigned int, unsigned int* done) override
    {
        if (done) *done = 0;
        return 0;
    }
    int VF_CALL SetSize(unsigned int, unsigned int) override { return 0; }

private:
    const Bytes& data;
    uint64_t position = 0;
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The floor: walk the central records of an archive in memory, reading
// every fixed field, nothing else.
uint64_t ParseCentralRecords(const Bytes& image)
{
    const uint8_t* end = image.data() + image.size() - 22;
    uint16_t count = Get16(end + 10);
    const uint8_t* p = image.data() + Get32(end + 16);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (Get32(p) != 0x02014B50) return 0;
        sum += Get32(p + 16) + Get32(p + 20) + Get32(p + 24) + Get32(p + 42) + Get16(p + 10) +
               Get16(p + 8) + Get32(p + 38) + p[46];
        p += 46 + Get16(p + 28) + Get16(p + 30) + Get16(p + 32);
    }
    return sum;
}

// CPU seconds of this process and of its finished children. The machine
// may be shared, so CPU time is the fair measure; wall time is shown too.
double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    return t.tv_sec + t.tv_nsec * 1e-9 + children.ru_utime.tv_sec + children.ru_utime.tv_usec * 1e-6 +
           children.ru_stime.tv_sec + children.ru_stime.tv_usec * 1e-6;
}

struct Timing {
    double cpu = 1e30;
    double wall = 1e30;
};

template <class F>
Timing Best(int runs, F&& f)
{
    Timing best;
    for (int i = 0; i < runs; ++i) {
        double c0 = CpuSeconds();
        auto t0 = Clock::now();
        f();
        best.wall = std::min(best.wall, std::chrono::duration<double>(Clock::now() - t0).count());
        best.cpu = std::min(best.cpu, CpuSeconds() - c0);
    }
    return best;
}

// unzip -l with its output thrown away, without a shell in between.
int ListWithUnzip(const std::string& path)
{
    pid_t child = fork();
    if (child == 0) {
        FILE* null = std::freopen("/dev/null", "w", stdout);
        (void)null;
        execlp("unzip", "unzip", "-l", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

} // namespace

int main()
{
    const bench::ScratchFolder dir("zipext-recognize-bench");
    if (dir.path.empty()) return 1;
    const std::string path = dir / "many.zip";
    // A real archive from another tool: Python's zipfile, 65535 small
    // stored entries in a few directories.
    std::string make = "python3 -c \"import zipfile\n"
                       "with zipfile.ZipFile('" + path + "','w') as z:\n"
                       "  for i in range(65535): z.writestr('dir%d/file%05d.txt' % (i % 16, i), str(i))\n\"";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not build the archive\n");
        return 1;
    }
    std::ifstream in(path, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    void* module = dlopen(ZIPEXT_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    using Recognize = int (*)(VFStream*, void*, unsigned int, int, const unsigned char*);
    auto recognize = module ? reinterpret_cast<Recognize>(dlsym(module, "ZipArchive_Recongnize")) : nullptr;
    if (!recognize) {
        std::fprintf(stderr, "module not loaded: %s\n", dlerror());
        return 1;
    }

    int answer = 0;
    const Timing exported = Best(20, [&] {
        MemoryHost host(image);
        answer = recognize(&host, nullptr, 0, 0, image.data());
    });
    uint64_t sink = 0;
    const Timing bare = Best(50, [&] { sink += ParseCentralRecords(image); });
    int unzipStatus = 0;
    const Timing unzip = Best(7, [&] { unzipStatus = ListWithUnzip(path); });

    std::printf("archive: %zu bytes, 65535 entries (answer %d, unzip status %d, check %llu)\n",
                image.size(), answer, unzipStatus, static_cast<unsigned long long>(sink % 10));
    std::printf("                               best CPU      best wall\n");
    std::printf("recognise through the export : %8.3f ms   %8.3f ms\n", exported.cpu * 1e3, exported.wall * 1e3);
    std::printf("unzip -l                     : %8.3f ms   %8.3f ms\n", unzip.cpu * 1e3, unzip.wall * 1e3);
    std::printf("bare central-record loop     : %8.3f ms   %8.3f ms\n", bare.cpu * 1e3, bare.wall * 1e3);
    std::printf("export / unzip -l            : %8.3f     %8.3f   (goal <= 0.1)\n",
                exported.cpu / unzip.cpu, exported.wall / unzip.wall);
    std::printf("export / floor               : %8.2f     %8.2f\n", exported.cpu / bare.cpu,
                exported.wall / bare.wall);
    std::printf("unzip -l / floor             : %8.2f     %8.2f\n", unzip.cpu / bare.cpu,
                unzip.wall / bare.wall);

    dlclose(module);
    return answer == 1 ? 0 : 1;
}
