// Speed of reading one 64 MiB deflated entry.
//
// The module extracts it with ExtractEntryToStream into a memory stream; the
// floor is zlib's raw inflate over the same compressed bytes, read from the
// same file in 64 KiB pieces into a 64 KiB output buffer with the CRC-32
// computed as it goes. Goal: the module within 1.10 times the floor. The
// peers `unzip -p` and `7zz x -so` extract the same archive to nothing.
//
// Times are CPU times (ours: this thread's; a peer's: its process's user and
// system time, start-up included), best of several runs, so that other work
// on a shared machine does not skew the ratios.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "archive/ZipEntryHeader.h"
#include "decoders/ZipArchiveEx.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"

extern "C" char** environ;

namespace {

constexpr uint32_t kEntrySize = 64u << 20;
constexpr uint32_t kBufferSize = 65536;

double ThreadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs a program with its output on /dev/null; its CPU seconds, or -1.
double RunChild(const std::vector<std::string>& args)
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
std::vector<uint8_t> MakeDocumentText(uint32_t size)
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

struct Fixture {
    std::string dir;
    std::string archive;
    uint64_t dataOffset = 0;
    uint32_t compressedSize = 0;
    uint32_t crc = 0;
    bool ready = false;

    Fixture()
    {
        char name[] = "/tmp/zipext-extract-bench-XXXXXX";
        if (!mkdtemp(name)) return;
        dir = name;
        archive = dir + "/big.zip";
        const std::string data = dir + "/big.txt";
        const std::vector<uint8_t> text = MakeDocumentText(kEntrySize);
        std::ofstream(data, std::ios::binary).write(reinterpret_cast<const char*>(text.data()),
                                                    static_cast<std::streamsize>(text.size()));
        crc = static_cast<uint32_t>(crc32(0, text.data(), static_cast<uInt>(text.size())));
        if (RunChild({"zip", "-q", "-j", "-6", archive, data}) < 0) return;
        std::remove(data.c_str());
        CZipArchiveEx zip;
        zip.Open(archive.c_str(), CZipArchive::openExisting, 0);
        CZipEntryHeader header;
        if (!zip.GetFileInfo(header, 0) || header.method != 8 || header.uncompressedSize != kEntrySize) return;
        compressedSize = header.compressedSize;
        std::ifstream in(archive, std::ios::binary);
        uint8_t local[30];
        in.seekg(header.localHeaderOffset);
        in.read(reinterpret_cast<char*>(local), 30);
        dataOffset = header.localHeaderOffset + 30 + (local[26] | (local[27] << 8)) + (local[28] | (local[29] << 8));
        ready = true;
    }
    ~Fixture()
    {
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
};

Fixture& Data()
{
    static Fixture fixture;
    return fixture;
}

// One extraction through the module; false when the bytes were not right.
bool ModuleOnce(CZipArchiveEx& zip, CZipMemStream& sink)
{
    sink.SetLength(0);
    return zip.ExtractEntryToStream(0, sink, kBufferSize) && sink.GetLength() == kEntrySize;
}

// The floor: the same compressed bytes through zlib, 64 KiB in and out.
bool ZlibOnce(const Fixture& f)
{
    const int fd = open(f.archive.c_str(), O_RDONLY);
    if (fd < 0) return false;
    lseek(fd, static_cast<off_t>(f.dataOffset), SEEK_SET);
    std::vector<uint8_t> in(kBufferSize), out(kBufferSize);
    z_stream z{};
    inflateInit2(&z, -15);
    uint32_t left = f.compressedSize;
    uLong crc = 0;
    uint64_t total = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        if (z.avail_in == 0 && left > 0) {
            const ssize_t got = read(fd, in.data(), std::min(left, kBufferSize));
            if (got <= 0) break;
            left -= static_cast<uint32_t>(got);
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = out.data();
        z.avail_out = kBufferSize;
        result = inflate(&z, Z_SYNC_FLUSH);
        const uInt produced = kBufferSize - z.avail_out;
        crc = crc32(crc, out.data(), produced);
        total += produced;
    }
    inflateEnd(&z);
    close(fd);
    return result == Z_STREAM_END && total == kEntrySize && crc == f.crc;
}

void BM_ModuleExtractToStream(benchmark::State& state)
{
    Fixture& f = Data();
    if (!f.ready) return state.SkipWithError("no test archive");
    CZipArchiveEx zip;
    zip.Open(f.archive.c_str(), CZipArchive::openExisting, 0);
    CZipMemStream sink(kEntrySize + kBufferSize);
    for (auto _ : state) {
        if (!ModuleOnce(zip, sink)) return state.SkipWithError("wrong extraction");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kEntrySize);
}
BENCHMARK(BM_ModuleExtractToStream)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_ZlibInflateFloor(benchmark::State& state)
{
    Fixture& f = Data();
    if (!f.ready) return state.SkipWithError("no test archive");
    for (auto _ : state) {
        if (!ZlibOnce(f)) return state.SkipWithError("wrong inflate");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kEntrySize);
}
BENCHMARK(BM_ZlibInflateFloor)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

template <class F>
double BestOf(int runs, F once)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t = once();
        if (t < 0) return -1;
        best = std::min(best, t);
    }
    return best;
}

void PrintRatios()
{
    Fixture& f = Data();
    if (!f.ready) {
        std::printf("extract ratios: no test archive (zip missing?)\n");
        return;
    }
    CZipArchiveEx zip;
    zip.Open(f.archive.c_str(), CZipArchive::openExisting, 0);
    CZipMemStream sink(kEntrySize + kBufferSize);
    const int runs = 5;
    const double module = BestOf(runs, [&] {
        const double start = ThreadSeconds();
        const bool ok = ModuleOnce(zip, sink);
        return ok ? ThreadSeconds() - start : -1.0;
    });
    const double floor = BestOf(runs, [&] {
        const double start = ThreadSeconds();
        const bool ok = ZlibOnce(f);
        return ok ? ThreadSeconds() - start : -1.0;
    });
    const double unzip = BestOf(3, [&] { return RunChild({"unzip", "-p", f.archive}); });
    const double sevenZip = BestOf(3, [&] { return RunChild({"7zz", "x", "-so", f.archive}); });
    std::printf("\n64 MiB deflated entry, best of %d, CPU seconds:\n", runs);
    std::printf("  module ExtractEntryToStream  %.3f s\n", module);
    std::printf("  zlib inflate + CRC (floor)   %.3f s\n", floor);
    if (unzip > 0) std::printf("  unzip -p                     %.3f s\n", unzip);
    if (sevenZip > 0) std::printf("  7zz x -so                    %.3f s\n", sevenZip);
    if (module > 0 && floor > 0) {
        std::printf("module / zlib floor: %.3f (goal <= 1.10)\n", module / floor);
        if (unzip > 0) std::printf("unzip / zlib floor: %.3f, module / unzip: %.3f\n", unzip / floor, module / unzip);
        if (sevenZip > 0)
            std::printf("7zz / zlib floor: %.3f, module / 7zz: %.3f\n", sevenZip / floor, module / sevenZip);
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    try {
        PrintRatios();
    } catch (const CZipException& e) {
        std::printf("extract ratios: failed with code %d\n", e.code);
        return 1;
    }
    return 0;
}
