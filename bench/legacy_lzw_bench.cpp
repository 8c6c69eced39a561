// Speed of unshrink (method 1) and unreduce (methods 2 to 5).
//
// Unshrink runs against the peers that read shrunk data, `unzip -p` and
// `7zz x -so`, each extracting the same archive to nothing; the table at the
// end gives the time per archive and our speed relative to the fastest peer
// (above 1 = faster). No peer here reads reduced data, so unreduce reports its
// absolute throughput only.
//
// Times are CPU times (ours: this thread's; a peer's: its process's user and
// system time, start-up included), so that other work on a shared machine
// does not skew the comparison.
//
// The archives are assembled from the corpus's compressed entries (made by
// hwzip), repeated under new names so each run decodes a few megabytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_raw_entries.h"
#include "bench_support.h"
#include "decoders/ZipArchiveEx.h"
#include "errors/ZipException.h"
#include "storage/ZipMemStream.h"

using namespace bench;

namespace {

const std::string kCorpus = ZIPEXT_CORPUS_DIR;

void Put16(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x)
{
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

// A plain archive of the given entries, each `copies` times.
std::vector<uint8_t> BuildArchive(const std::vector<RawEntry>& entries, int copies)
{
    std::vector<uint8_t> zip, central;
    uint16_t count = 0;
    for (int k = 0; k < copies; ++k) {
        for (const auto& e : entries) {
            const std::string name = std::to_string(k) + "-" + e.name;
            // What the local and central records share, from the version
            // needed to the name's length.
            const auto shared = [&](std::vector<uint8_t>& v) {
                Put16(v, 10);
                Put16(v, 0);
                Put16(v, e.method);
                Put32(v, 0);
                Put32(v, e.crc32);
                Put32(v, static_cast<uint32_t>(e.data.size()));
                Put32(v, e.uncompressedSize);
                Put16(v, static_cast<uint32_t>(name.size()));
            };
            const uint32_t offset = static_cast<uint32_t>(zip.size());
            Put32(zip, 0x04034B50);
            shared(zip);
            Put16(zip, 0);
            zip.insert(zip.end(), name.begin(), name.end());
            zip.insert(zip.end(), e.data.begin(), e.data.end());
            Put32(central, 0x02014B50);
            Put16(central, 10);
            shared(central);
            Put32(central, 0);
            Put32(central, 0);
            Put32(central, 0);
            Put32(central, offset);
            central.insert(central.end(), name.begin(), name.end());
            ++count;
        }
    }
    const uint32_t centralOffset = static_cast<uint32_t>(zip.size());
    zip.insert(zip.end(), central.begin(), central.end());
    Put32(zip, 0x06054B50);
    Put32(zip, 0);
    Put16(zip, count);
    Put16(zip, count);
    Put32(zip, static_cast<uint32_t>(central.size()));
    Put32(zip, centralOffset);
    Put16(zip, 0);
    return zip;
}

struct Case {
    std::string label;
    std::string path;       // the archive on disk, for the peers
    std::vector<uint8_t> bytes;
    std::vector<RawEntry> entries;  // one copy of each
    int copies = 0;
    uint64_t outputBytes = 0;
    uint64_t inputBytes = 0;  // compressed bytes, all copies
};

ScratchFolder& Tmp()
{
    static ScratchFolder folder("zipext-lzw-bench");
    return folder;
}

std::map<std::string, Case>& Cases()
{
    static std::map<std::string, Case> cases;
    return cases;
}

const Case& GetCase(const std::string& label, const std::string& source, const std::vector<std::string>& names,
                    int copies)
{
    auto& cases = Cases();
    auto it = cases.find(label);
    if (it != cases.end()) return it->second;
    Case c;
    c.label = label;
    c.copies = copies;
    c.entries = ReadRawEntries(kCorpus + "/" + source, [&](const RawEntry& e) {
        return std::find(names.begin(), names.end(), e.name) != names.end();
    });
    c.bytes = BuildArchive(c.entries, copies);
    for (const auto& e : c.entries) {
        c.outputBytes += static_cast<uint64_t>(e.uncompressedSize) * copies;
        c.inputBytes += static_cast<uint64_t>(e.data.size()) * copies;
    }
    c.path = Tmp() / (label + ".zip");
    std::ofstream(c.path, std::ios::binary).write(reinterpret_cast<const char*>(c.bytes.data()),
                                                  static_cast<std::streamsize>(c.bytes.size()));
    return cases.emplace(label, std::move(c)).first->second;
}

// Shrunk data built code by code, for the streams no compressor writes but
// a hostile archive may hold: the work must follow the input, whatever the
// codes ask for. Size and CRC come from one decode of the stream.
class CCodeWriter {
public:
    void Put(uint32_t code, uint32_t bits)
    {
        hold |= static_cast<uint64_t>(code) << count;
        for (count += bits; count >= 8; count -= 8, hold >>= 8) bytes.push_back(static_cast<uint8_t>(hold));
    }
    std::vector<uint8_t> Finish()
    {
        if (count > 0) bytes.push_back(static_cast<uint8_t>(hold));
        count = 0;
        hold = 0;
        return bytes;
    }
    size_t Size() const { return bytes.size(); }

private:
    std::vector<uint8_t> bytes;
    uint64_t hold = 0;
    uint32_t count = 0;
};

const Case& SyntheticShrinkCase(const std::string& label, std::vector<uint8_t> (*build)())
{
    auto& cases = Cases();
    auto it = cases.find(label);
    if (it != cases.end()) return it->second;
    RawEntry e;
    e.name = label + ".bin";
    e.method = 1;
    e.uncompressedSize = 0xFFFFFFFFu;
    e.data = build();
    std::vector<uint8_t> buffer(65536);
    const Decoded d = DecodeRaw(e, buffer);
    e.uncompressedSize = static_cast<uint32_t>(d.size);
    e.crc32 = d.crc;
    Case c;
    c.label = label;
    c.copies = 1;
    c.entries.push_back(std::move(e));
    c.bytes = BuildArchive(c.entries, 1);
    c.outputBytes = c.entries[0].uncompressedSize;
    c.inputBytes = c.entries[0].data.size();
    c.path = Tmp() / (label + ".zip");
    std::ofstream(c.path, std::ios::binary).write(reinterpret_cast<const char*>(c.bytes.data()),
                                                  static_cast<std::streamsize>(c.bytes.size()));
    return cases.emplace(label, std::move(c)).first->second;
}

constexpr size_t kClearStreamBytes = 1u << 20;

// One literal, 1 MiB of partial clears (code 256, then 2), one more literal.
std::vector<uint8_t> AllClears()
{
    CCodeWriter w;
    w.Put('a', 9);
    while (w.Size() < kClearStreamBytes) {
        w.Put(256, 9);
        w.Put(2, 9);
    }
    w.Put('b', 9);
    return w.Finish();
}

// Two thirds of the table made into prefixes of other codes, so that every
// clear keeps them, then 1 MiB of clears each followed by a literal, whose
// new code lies above all the kept ones.
std::vector<uint8_t> ClearsOverKeptCodes()
{
    CCodeWriter w;
    w.Put('a', 9);
    for (uint32_t size = 9; size < 13; ++size) {
        w.Put(256, size);
        w.Put(1, size);
    }
    const uint32_t third = (8192 - 257) / 3;
    for (uint32_t i = 0; i < third; ++i) w.Put('a' + i % 26, 13);
    // Decoding a code gives the code decoded before it a child.
    for (uint32_t c = 257; c < 257 + 2 * third; ++c) w.Put(c, 13);
    while (w.Size() < kClearStreamBytes) {
        w.Put(256, 13);
        w.Put(2, 13);
        w.Put('z', 13);
    }
    return w.Finish();
}

const Case& ShrinkClearsCase() { return SyntheticShrinkCase("shrink-clears", AllClears); }
const Case& ShrinkClearsKeptCase() { return SyntheticShrinkCase("shrink-clears-kept", ClearsOverKeptCodes); }

const Case& ShrinkCase()
{
    // Entries every peer reads in full (unzip 6.0 gives up on hwzip's
    // rep1m.bin, see the corpus notes).
    return GetCase("shrink", "legacy/hwzip-generated/hwzip-shrink-forced.zip", {"text200k.txt", "random300k.bin"}, 16);
}
const Case& ShrinkRepetitiveCase()
{
    return GetCase("shrink-rep", "legacy/hwzip-generated/hwzip-shrink-forced.zip", {"rep1m.bin"}, 8);
}
const Case& ReduceCase(int factor)
{
    return GetCase("reduce" + std::to_string(factor),
                   "legacy/hwzip-generated/hwzip-reduce" + std::to_string(factor) + "-forced.zip",
                   {"text200k.txt", "random300k.bin", "rep1m.bin"}, 4);
}

// Seconds of the fastest run per label, for the summary table.
std::map<std::string, double>& Best()
{
    static std::map<std::string, double> best;
    return best;
}
void Note(const std::string& key, double seconds)
{
    auto& best = Best();
    auto it = best.find(key);
    if (it == best.end() || seconds < it->second) best[key] = seconds;
}

// Our side: every entry through the archive object into a null stream.
void ExtractAll(benchmark::State& state, const Case& c, const std::string& key)
{
    for (auto _ : state) {
        const double t0 = ThreadSeconds();
        CZipMemStream source(65536);
        source.Write(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
        CZipArchiveEx archive;
        CountingStream sink;
        try {
            archive.Open(source, CZipArchive::openReadOnly);
            for (int i = 0; i < archive.GetCount(); ++i)
                if (!archive.ExtractEntryToStream(static_cast<uint16_t>(i), sink, 65536))
                    state.SkipWithError("extraction failed");
        } catch (const CZipException& e) {
            state.SkipWithError(("archive error " + std::to_string(e.code)).c_str());
            break;
        }
        if (sink.size != c.outputBytes) state.SkipWithError("wrong output size");
        const double s = ThreadSeconds() - t0;
        state.SetIterationTime(s);
        Note(key, s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.outputBytes));
}

// The decoder alone, over raw bytes in memory (no archive around it).
void DecodeAll(benchmark::State& state, const Case& c, const std::string& key)
{
    std::vector<uint8_t> buffer(65536);
    for (auto _ : state) {
        const double t0 = ThreadSeconds();
        uint64_t total = 0;
        for (int k = 0; k < c.copies; ++k) {
            for (const auto& e : c.entries) {
                const Decoded d = DecodeRaw(e, buffer);
                total += d.size;
                if (d.crc != e.crc32) state.SkipWithError("CRC mismatch");
            }
        }
        if (total != c.outputBytes) state.SkipWithError("wrong output size");
        const double s = ThreadSeconds() - t0;
        state.SetIterationTime(s);
        Note(key, s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.outputBytes));
}

void RunPeer(benchmark::State& state, const Case& c, std::vector<std::string> command, const std::string& key)
{
    command.push_back(c.path);
    for (auto _ : state) {
        const double s = RunChild(command);
        if (s < 0) {
            state.SkipWithError("peer could not be run");
            break;
        }
        state.SetIterationTime(s);
        Note(key, s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.outputBytes));
}

void BM_Unshrink_Archive(benchmark::State& s) { ExtractAll(s, ShrinkCase(), "shrink/zipext"); }
void BM_Unshrink_Decoder(benchmark::State& s) { DecodeAll(s, ShrinkCase(), "shrink/decoder"); }
void BM_Unshrink_Unzip(benchmark::State& s) { RunPeer(s, ShrinkCase(), {"unzip", "-p"}, "shrink/unzip"); }
void BM_Unshrink_7zz(benchmark::State& s) { RunPeer(s, ShrinkCase(), {"7zz", "x", "-so"}, "shrink/7zz"); }
void BM_UnshrinkRep_Archive(benchmark::State& s) { ExtractAll(s, ShrinkRepetitiveCase(), "shrink-rep/zipext"); }
void BM_UnshrinkRep_7zz(benchmark::State& s) { RunPeer(s, ShrinkRepetitiveCase(), {"7zz", "x", "-so"}, "shrink-rep/7zz"); }
void BM_UnshrinkClears_Archive(benchmark::State& s) { ExtractAll(s, ShrinkClearsCase(), "shrink-clears/zipext"); }
void BM_UnshrinkClears_Unzip(benchmark::State& s) { RunPeer(s, ShrinkClearsCase(), {"unzip", "-p"}, "shrink-clears/unzip"); }
void BM_UnshrinkClears_7zz(benchmark::State& s) { RunPeer(s, ShrinkClearsCase(), {"7zz", "x", "-so"}, "shrink-clears/7zz"); }
void BM_UnshrinkClearsKept_Archive(benchmark::State& s)
{
    ExtractAll(s, ShrinkClearsKeptCase(), "shrink-clears-kept/zipext");
}
void BM_Unreduce_Archive(benchmark::State& s)
{
    ExtractAll(s, ReduceCase(static_cast<int>(s.range(0))), "reduce" + std::to_string(s.range(0)) + "/zipext");
}
void BM_Unreduce_Decoder(benchmark::State& s)
{
    DecodeAll(s, ReduceCase(static_cast<int>(s.range(0))), "reduce" + std::to_string(s.range(0)) + "/decoder");
}

BENCHMARK(BM_Unshrink_Archive)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Unshrink_Decoder)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Unshrink_Unzip)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Unshrink_7zz)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UnshrinkRep_Archive)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UnshrinkRep_7zz)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UnshrinkClears_Archive)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UnshrinkClears_Unzip)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UnshrinkClears_7zz)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UnshrinkClearsKept_Archive)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Unreduce_Archive)->DenseRange(1, 4)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Unreduce_Decoder)->DenseRange(1, 4)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

void PrintSummary()
{
    const auto& best = Best();
    auto get = [&](const std::string& k) { auto it = best.find(k); return it == best.end() ? 0.0 : it->second; };
    std::printf("\nFastest run of each (ms), MB/s of output and of compressed input, and zipext's speed\n"
                "relative to the fastest peer:\n");
    for (const std::string label : {"shrink", "shrink-rep", "shrink-clears", "shrink-clears-kept"}) {
        const auto it = Cases().find(label);
        if (it == Cases().end()) continue;
        const double mb = static_cast<double>(it->second.outputBytes) / 1e6;
        const double in = static_cast<double>(it->second.inputBytes) / 1e6;
        double peer = 0;
        for (const std::string who : {"unzip", "7zz"}) {
            const double s = get(label + "/" + who);
            if (s > 0 && (peer == 0 || s < peer)) peer = s;
        }
        for (const std::string who : {"zipext", "decoder", "unzip", "7zz"}) {
            const double s = get(label + "/" + who);
            if (s <= 0) continue;
            std::printf("  %-18s %-8s %9.2f ms %8.1f MB/s out %8.1f MB/s in", label.c_str(), who.c_str(), s * 1e3,
                        mb / s, in / s);
            if (peer > 0 && (who == "zipext" || who == "decoder")) std::printf("   x%.2f vs fastest peer", peer / s);
            std::printf("\n");
        }
    }
    for (int f = 1; f <= 4; ++f) {
        const std::string label = "reduce" + std::to_string(f);
        const auto it = Cases().find(label);
        if (it == Cases().end()) continue;
        const double mb = static_cast<double>(it->second.outputBytes) / 1e6;
        const double in = static_cast<double>(it->second.inputBytes) / 1e6;
        for (const std::string who : {"zipext", "decoder"}) {
            const double s = get(label + "/" + who);
            if (s > 0)
                std::printf("  %-18s %-8s %9.2f ms %8.1f MB/s out %8.1f MB/s in\n", label.c_str(), who.c_str(),
                            s * 1e3, mb / s, in / s);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    return RunBenchmarks(argc, argv, PrintSummary);
}
