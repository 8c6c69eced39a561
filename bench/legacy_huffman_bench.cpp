// Explode and Deflate64 speed, each against its peers on the same archives
// (extract everything to nothing):
//   explode:   ours vs `unzip -p` and `7zz x -so`
//   deflate64: ours vs `7zz x -so`, and vs zlib inflating the same bytes
//              compressed as plain deflate (with and without its CRC-32)
// The peers run as processes, so their figures include a process start; a
// start-up baseline (the same tool on a one-entry archive) is measured and
// reported beside them. After the runs a table of nanoseconds per output
// byte and of ratios is printed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/time.h>
#include <zlib.h>

#include "bench_raw_entries.h"
#include "bench_support.h"

using namespace bench;

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kCorpus = ZIPEXT_CORPUS_DIR;

ScratchFolder& Tmp()
{
    static ScratchFolder s("zipext-huffman-bench");
    return s;
}

// The deflate64 archives: the corpus ones, plus one 7zz makes here of all
// their contents together (about 8 MB of text, binary, noise and runs).
std::vector<std::string> Deflate64Archives()
{
    static std::vector<std::string> list;
    if (!list.empty()) return list;
    for (const char* name : {"deflate64/zip2/deflate64.zip", "deflate64/commons-compress/lorem-ipsum-deflate64.zip",
                             "deflate64/7zz-generated/7zz-d64-mixed.zip",
                             "deflate64/7zz-generated/7zz-d64-text-then-random.zip",
                             "deflate64/7zz-generated/7zz-d64-rep3m.zip"})
        list.push_back(kCorpus + "/" + name);
    Bytes all;
    Bytes buffer(65536);
    for (const auto& path : std::vector<std::string>(list))
        for (const auto& e : ReadRawEntries(path, 9)) DecodeRaw(e, buffer, &all);
    const std::string input = Tmp() / "all.bin";
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(all.data()),
                                                  static_cast<std::streamsize>(all.size()));
    const std::string made = Tmp() / "all-d64.zip";
    if (std::system(("7zz a -tzip -mm=Deflate64 -mx=9 '" + made + "' '" + input + "' >/dev/null").c_str()) == 0)
        list.push_back(made);
    return list;
}

std::vector<std::string> ExplodeArchives()
{
    std::vector<std::string> list;
    for (const char* name : {"legacy/hwzip-generated/hwzip-implode-8k-3trees-forced.zip",
                             "legacy/hwzip-generated/hwzip-implode-4k-2trees-forced.zip",
                             "legacy/hwzip-generated/hwzip-implode-default.zip",
                             "legacy/commons-compress/moby-imploded.zip",
                             "legacy/commons-compress/lorem-ipsum-implode.zip"})
        list.push_back(kCorpus + "/" + name);
    return list;
}

std::string Short(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

uint64_t OutputBytes(const std::string& path, uint16_t method)
{
    uint64_t total = 0;
    for (const auto& e : ReadRawEntries(path, method)) total += e.uncompressedSize;
    return total;
}

void Ours(benchmark::State& state, std::string path, uint16_t method)
{
    const auto entries = ReadRawEntries(path, method);
    Bytes buffer(65536);
    uint64_t bytes = 0;
    for (auto _ : state)
        for (const auto& e : entries) bytes += DecodeRaw(e, buffer).size;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// zlib inflating the contents of the same archive compressed as raw deflate
// (level 9), into 64 KiB buffers; with the CRC-32 the Inflate decoder keeps.
void Zlib(benchmark::State& state, std::string path, bool withCrc)
{
    std::vector<Bytes> streams;
    std::vector<uint32_t> sizes;
    Bytes buffer(65536);
    for (const auto& e : ReadRawEntries(path, 9)) {
        Bytes plain;
        DecodeRaw(e, buffer, &plain);
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        Bytes packed(deflateBound(&z, static_cast<uLong>(plain.size())));
        z.next_in = plain.data();
        z.avail_in = static_cast<uInt>(plain.size());
        z.next_out = packed.data();
        z.avail_out = static_cast<uInt>(packed.size());
        deflate(&z, Z_FINISH);
        packed.resize(z.total_out);
        deflateEnd(&z);
        streams.push_back(std::move(packed));
        sizes.push_back(static_cast<uint32_t>(plain.size()));
    }
    uint64_t bytes = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < streams.size(); ++i) {
            z_stream z{};
            inflateInit2(&z, -15);
            z.next_in = streams[i].data();
            z.avail_in = static_cast<uInt>(streams[i].size());
            uLong crc = 0;
            int r = Z_OK;
            while (r == Z_OK) {
                z.next_out = buffer.data();
                z.avail_out = static_cast<uInt>(buffer.size());
                r = inflate(&z, Z_SYNC_FLUSH);
                if (withCrc) crc = crc32(crc, buffer.data(), static_cast<uInt>(buffer.size() - z.avail_out));
            }
            benchmark::DoNotOptimize(crc);
            bytes += z.total_out;
            inflateEnd(&z);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

double ChildCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// CPU seconds a command takes (user + system of the child processes), so
// that the figures hold on a machine busy with other work.
double RunTimed(const std::string& line, bool& ok)
{
    const double before = ChildCpuSeconds();
    ok = std::system(line.c_str()) == 0;
    return ChildCpuSeconds() - before;
}

// A peer tool run as a process over the whole archive, output discarded.
void Peer(benchmark::State& state, std::string command, std::string path, uint16_t method)
{
    const uint64_t perRun = OutputBytes(path, method);
    const std::string line = command + " '" + path + "' >/dev/null 2>&1";
    uint64_t bytes = 0;
    for (auto _ : state) {
        bool ok = false;
        state.SetIterationTime(RunTimed(line, ok));
        if (!ok) {
            state.SkipWithError(("failed: " + line).c_str());
            break;
        }
        bytes += perRun;
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// What a peer costs before it decodes anything: the same command on a
// one-entry stored archive.
void PeerStart(benchmark::State& state, std::string command)
{
    static std::string tiny;
    if (tiny.empty()) {
        tiny = Tmp() / "tiny.zip";
        std::system(("cd '" + Tmp().path + "' && echo x > t.txt && zip -q -0 tiny.zip t.txt").c_str());
    }
    const std::string line = command + " '" + tiny + "' >/dev/null 2>&1";
    for (auto _ : state) {
        bool ok = false;
        state.SetIterationTime(RunTimed(line, ok));
    }
}

void Register()
{
    for (const auto& path : Deflate64Archives()) {
        const std::string n = Short(path);
        benchmark::RegisterBenchmark(("deflate64/ours/" + n).c_str(), Ours, path,
                                     uint16_t{9});
        benchmark::RegisterBenchmark(("deflate64/zlib_inflate/" + n).c_str(), Zlib, path, false);
        benchmark::RegisterBenchmark(("deflate64/zlib_inflate_crc/" + n).c_str(), Zlib, path, true);
        benchmark::RegisterBenchmark(("deflate64/7zz/" + n).c_str(), Peer, std::string("7zz x -so"), path,
                                     uint16_t{9})
            ->UseManualTime()
            ->Iterations(10);
    }
    for (const auto& path : ExplodeArchives()) {
        const std::string n = Short(path);
        benchmark::RegisterBenchmark(("explode/ours/" + n).c_str(), Ours, path,
                                     uint16_t{6});
        benchmark::RegisterBenchmark(("explode/unzip/" + n).c_str(), Peer, std::string("unzip -p"), path,
                                     uint16_t{6})
            ->UseManualTime()
            ->Iterations(10);
        benchmark::RegisterBenchmark(("explode/7zz/" + n).c_str(), Peer, std::string("7zz x -so"), path,
                                     uint16_t{6})
            ->UseManualTime()
            ->Iterations(10);
    }
    benchmark::RegisterBenchmark("startup/7zz", PeerStart, std::string("7zz x -so"))->UseManualTime()->Iterations(20);
    benchmark::RegisterBenchmark("startup/unzip", PeerStart, std::string("unzip -p"))->UseManualTime()->Iterations(20);
}

// Collects every run's CPU (or manual) nanoseconds per output byte and,
// after the runs, prints one table per method with the goals' ratios.
class CSummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const auto bytes = run.counters.find("bytes_per_second");
            const std::string name = run.benchmark_name();
            if (name.rfind("startup/", 0) == 0) {
                startup[name.substr(8, name.find('/', 8) - 8)] = run.GetAdjustedRealTime() * 1e-9;
                continue;
            }
            if (bytes == run.counters.end() || bytes->second.value <= 0) continue;
            const size_t a = name.find('/'), b = name.find('/', a + 1), c = name.find('/', b + 1);
            const std::string method = name.substr(0, a);
            const std::string tool = name.substr(a + 1, b - a - 1);
            const std::string archive = name.substr(b + 1, c == std::string::npos ? c : c - b - 1);
            // Seconds per iteration and bytes per iteration, in the unit the run was timed in.
            const double seconds = (tool == "7zz" || tool == "unzip") ? run.GetAdjustedRealTime() * 1e-9
                                                                     : run.GetAdjustedCPUTime() * 1e-9;
            figures[method][archive][tool] = {seconds, bytes->second.value * seconds};
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nCPU ns per output byte (peers: child CPU time, less the tool's own start-up)\n");
        Table("deflate64", {"ours", "zlib_inflate", "zlib_inflate_crc", "7zz"});
        Table("explode", {"ours", "unzip", "7zz"});
    }

private:
    struct Figure {
        double seconds = 0;
        double bytes = 0;
    };

    double NsPerByte(const std::string& tool, const Figure& f)
    {
        const double start = startup.count(tool) ? startup[tool] : 0.0;
        return f.bytes > 0 ? 1e9 * std::max(f.seconds - start, 0.0) / f.bytes : 0.0;
    }

    void Table(const std::string& method, const std::vector<std::string>& tools)
    {
        std::printf("\n%-42s", method.c_str());
        for (const auto& t : tools) std::printf("%18s", t.c_str());
        std::printf("%14s%14s\n", "ours/best", method == "deflate64" ? "ours/zlib" : "");
        for (const auto& archive : figures[method]) {
            std::printf("%-42s", archive.first.c_str());
            double best = 0, zlib = 0;
            for (const auto& t : tools) {
                const auto it = archive.second.find(t);
                const double ns = it == archive.second.end() ? 0.0 : NsPerByte(t, it->second);
                std::printf("%18.3f", ns);
                if (t == "7zz" || t == "unzip") best = best == 0 ? ns : std::min(best, ns);
                if (t == "zlib_inflate") zlib = ns;
            }
            const auto ours = archive.second.find("ours");
            const double mine = ours == archive.second.end() ? 0 : NsPerByte("ours", ours->second);
            std::printf("%14.2f", best > 0 ? mine / best : 0.0);
            if (zlib > 0) std::printf("%14.2f", mine / zlib);
            std::printf("\n");
        }
    }

    std::map<std::string, std::map<std::string, std::map<std::string, Figure>>> figures;
    std::map<std::string, double> startup;
};

} // namespace

int main(int argc, char** argv)
{
    Register();
    CSummaryReporter reporter;
    return RunBenchmarks(argc, argv, nullptr, &reporter);
}
