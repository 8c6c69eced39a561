// Speed of reading one 64 MiB entry, on three archives:
//   text       deflated document text (zip -6);
//   binary     deflated executables from the system and already-compressed
//              data (zip -6);
//   deflate64  a Deflate64 entry of long runs (7zz), whose time is mostly
//              the CRC-32.
// The module reads each as the engine has it read: through ZipArchive_Decode
// into a temporary stream that only counts. For the deflated ones the floor
// is zlib's raw inflate over the same compressed bytes, read from the same
// file in 64 KiB pieces into a 64 KiB output buffer with the CRC-32
// computed as it goes. Goal: the module at most 0.55 of the floor on text
// where the build reads with ISA-L (1.10 with zlib). ExtractEntryToStream
// into memory, and the peers `unzip -p` and `7zz x -so` extracting the same
// archive to nothing, are printed beside it.
//
// Times are CPU times (ours: this thread's; a peer's: its process's user and
// system time, start-up included), best of several runs, so that other work
// on a shared machine does not skew the ratios.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_raw_entries.h"
#include "bench_support.h"
#include "decoders/ZipArchiveEx.h"
#include "decoders/ZipRawInflater.h"
#include "storage/ZipMemStream.h"

using namespace bench;

namespace {

constexpr uint32_t kEntrySize = 64u << 20;
constexpr uint32_t kBufferSize = 65536;

// Executables from the system (whatever this machine has), then
// deflated text standing for already-compressed media, to `size` bytes.
std::vector<uint8_t> MakeBinaryData(uint32_t size)
{
    std::vector<uint8_t> out;
    out.reserve(size);
    const uint32_t programs = size / 4 * 3;
    std::vector<std::string> names;
    if (DIR* dir = opendir("/usr/bin")) {
        while (dirent* e = readdir(dir)) names.push_back(std::string("/usr/bin/") + e->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (out.size() >= programs) break;
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::ifstream in(name, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t n = std::min<size_t>(bytes.size(), programs - out.size());
        out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::vector<uint8_t> text = MakeDocumentText(size);
    uLongf packedSize = compressBound(static_cast<uLong>(text.size()));
    std::vector<uint8_t> packed(packedSize);
    compress2(packed.data(), &packedSize, text.data(), static_cast<uLong>(text.size()), 9);
    for (size_t at = 0; out.size() < size; at = (at + 4096) % packedSize)
        out.insert(out.end(), packed.begin() + static_cast<std::ptrdiff_t>(at),
                   packed.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(
                                        {at + 4096, packedSize, at + (size - out.size())})));
    return out;
}

// Runs of one byte, 1 to 64 KiB long: Deflate64's long matches.
std::vector<uint8_t> MakeRuns(uint32_t size)
{
    std::vector<uint8_t> out;
    out.reserve(size);
    uint32_t state = 88172645u;
    while (out.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const size_t n = std::min<size_t>(1 + (state >> 16), size - out.size());
        out.insert(out.end(), n, static_cast<uint8_t>(state));
    }
    return out;
}

enum class Kind { text, binary, deflate64 };

struct Fixture {
    ScratchFolder dir{"zipext-extract-bench"};
    std::string archive;
    uint64_t dataOffset = 0;
    uint32_t compressedSize = 0;
    uint32_t crc = 0;
    bool ready = false;

    explicit Fixture(Kind kind)
    {
        if (dir.path.empty()) return;
        archive = dir / "big.zip";
        const std::string data = dir / "big.dat";
        const std::vector<uint8_t> bytes = kind == Kind::text     ? MakeDocumentText(kEntrySize)
                                           : kind == Kind::binary ? MakeBinaryData(kEntrySize)
                                                                  : MakeRuns(kEntrySize);
        std::ofstream(data, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        crc = static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
        const bool made = kind == Kind::deflate64
                              ? RunChild({"7zz", "a", "-tzip", "-mm=Deflate64", archive, data}) >= 0
                              : RunChild({"zip", "-q", "-j", "-6", archive, data}) >= 0;
        if (!made) return;
        std::remove(data.c_str());
        const std::vector<RawEntry> entries = ReadRawEntries(archive);
        const uint16_t method = kind == Kind::deflate64 ? 9 : 8;
        if (entries.empty() || entries[0].method != method || entries[0].uncompressedSize != kEntrySize) return;
        compressedSize = static_cast<uint32_t>(entries[0].data.size());
        dataOffset = entries[0].dataStart;
        ready = true;
    }
};

Fixture& Data(Kind kind = Kind::text)
{
    static Fixture text(Kind::text);
    if (kind == Kind::text) return text;
    static Fixture binary(Kind::binary);
    if (kind == Kind::binary) return binary;
    static Fixture runs(Kind::deflate64);
    return runs;
}

// One reading through the engine's export; false when the size is wrong.
bool DecodeOnce(const Fixture& f)
{
    return bench::DecodeOnce(f.archive, kEntrySize);
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

// The text archive read by `once` each iteration.
void ReadText(benchmark::State& state, bool (*once)(const Fixture&), const char* failure)
{
    Fixture& f = Data();
    if (!f.ready) return state.SkipWithError("no test archive");
    for (auto _ : state) {
        if (!once(f)) return state.SkipWithError(failure);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kEntrySize);
}

void BM_ModuleDecode(benchmark::State& state) { ReadText(state, DecodeOnce, "wrong reading"); }
void BM_ZlibInflateFloor(benchmark::State& state) { ReadText(state, ZlibOnce, "wrong inflate"); }
BENCHMARK(BM_ModuleDecode)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_ZlibInflateFloor)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void PrintRatios(const char* title, Kind kind)
{
    Fixture& f = Data(kind);
    if (!f.ready) {
        std::printf("\n%s: no test archive (zip or 7zz missing?)\n", title);
        return;
    }
    const int runs = 5;
    const double decode = BestOf(runs, [&] { return ThreadTime([&] { return DecodeOnce(f); }); });
    CZipArchiveEx zip;
    zip.Open(f.archive.c_str(), CZipArchive::openExisting, 0);
    CZipMemStream sink(kEntrySize + kBufferSize);
    const double extract = BestOf(runs, [&] { return ThreadTime([&] { return ModuleOnce(zip, sink); }); });
    const double floor = kind == Kind::deflate64 ? -1 : BestOf(runs, [&] { return ThreadTime([&] { return ZlibOnce(f); }); });
    const double unzip = kind == Kind::deflate64 ? -1 : BestOf(3, [&] { return RunChild({"unzip", "-p", f.archive}); });
    const double sevenZip = BestOf(3, [&] { return RunChild({"7zz", "x", "-so", f.archive}); });
    std::printf("\n%s, 64 MiB, best of %d, CPU seconds (inflate: %s):\n", title, runs,
                ZipInflateBackendName(ZipDefaultInflateBackend()));
    std::printf("  module ZipArchive_Decode     %.3f s\n", decode);
    std::printf("  module ExtractEntryToStream  %.3f s\n", extract);
    if (floor > 0) std::printf("  zlib inflate + CRC (floor)   %.3f s\n", floor);
    if (unzip > 0) std::printf("  unzip -p                     %.3f s\n", unzip);
    if (sevenZip > 0) std::printf("  7zz x -so                    %.3f s\n", sevenZip);
    if (decode <= 0) return;
    if (floor > 0)
        std::printf("ZipArchive_Decode / zlib floor: %.3f (goal <= %s)\n", decode / floor,
                    ZipDefaultInflateBackend() == ZipInflateBackend::isal ? "0.55" : "1.10");
    if (unzip > 0) std::printf("ZipArchive_Decode / unzip: %.3f\n", decode / unzip);
    if (sevenZip > 0) std::printf("ZipArchive_Decode / 7zz: %.3f\n", decode / sevenZip);
}

} // namespace

int main(int argc, char** argv)
{
    return RunBenchmarks(argc, argv, [] {
        PrintRatios("deflated text", Kind::text);
        PrintRatios("deflated executables and compressed data", Kind::binary);
        PrintRatios("Deflate64 long runs", Kind::deflate64);
    });
}
