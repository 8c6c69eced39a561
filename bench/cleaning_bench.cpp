// Cleaning in place against Info-ZIP's zip, which rewrites the archive, on
// the same archives in one run:
//   1. deleting the first entry of a 64 MiB archive vs `zip -d` on a copy
//      (goal: at most 0.3 of its time);
//   2. deleting every other entry of a 20000-entry archive vs `zip -d` with
//      a wildcard (goal: at most 0.5 of its time);
//   3. curing one entry of a 64 MiB archive;
//   4. deleting from an archive of 65535 entries, the most it can hold: the
//      checks that no kept entry is cut cover every entry, and must stay
//      linear (compare the time per entry with case 2).
// Every measurement runs on a fresh copy of the archive in a file, through
// an engine stream over that file; the times are medians of several runs.
// A bare in-place move of the same bytes is printed for scale.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/ZipConstants.h"
#include "decoders/ZipArchiveEx.h"
#include "plugin/VFInterfaces.h"
#include "plugin/ZipHostStream.h"
#include "bench_support.h"
#include "support/fake_stream.h"

namespace {

constexpr int kRuns = 7;

// The temporary stream: the test kit's memory stream, keeping no record of
// its calls.
using MemoryStream = FakeHostStream;

// Condemns (5) or cures (3) every entry whose name starts with the prefix,
// and does not look at the others.
class PrefixEngine final : public VFDecodeCallback {
public:
    PrefixEngine(std::string prefixArg, int verdictArg, size_t curedSize = 0)
        : prefix(std::move(prefixArg)), verdict(verdictArg), cured(curedSize, 'c')
    {
    }
    int VF_CALL IsStopRequested() override { return 0; }
    int VF_CALL WantEntry(const char* name) override
    {
        return std::strncmp(name, prefix.c_str(), prefix.size()) == 0;
    }
    int VF_CALL ScanEntry(VFStream*, const char*, VFStream* temporary, unsigned long long*, int,
                          int) override
    {
        if (verdict == VF_VERDICT_CURED) {
            auto* stream = static_cast<MemoryStream*>(temporary);
            stream->data.assign(cured.begin(), cured.end());
        }
        return verdict;
    }
    int VF_CALL QueryPassword(const char*, char*, int*) override { return 0; }

    std::string prefix;
    int verdict;
    std::string cured;
};

double Seconds(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Copy(const std::string& from, const std::string& to)
{
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

// Median over kRuns of work() on a fresh copy of the archive.
double Measure(const std::string& archive, const std::string& work,
               const std::function<void(const std::string&)>& run)
{
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        Copy(archive, work);
        // Written back before the clock starts, so that no run pays for the
        // copy's dirty pages.
        sync();
        times.push_back(Seconds([&] { run(work); }));
    }
    std::sort(times.begin(), times.end());
    return times[kRuns / 2];
}

void Shell(const std::string& command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

int Decode(const std::string& path, VFDecodeCallback& engine)
{
    FileStream archive(path);
    MemoryStream temporary;
    temporary.keepCalls = false;
    return ZipArchive_Decode(&archive, nullptr, 0, 0, &temporary, &engine);
}

// The archive operation alone: open, delete the entries, write the
// directory; no scanning.
void RemoveOnly(const std::string& path, std::vector<uint16_t> indices)
{
    FileStream host(path);
    CZipHostStream stream(&host, 0, 0, nullptr);
    CZipArchiveEx archive;
    archive.Open(stream, CZipArchive::openExisting);
    archive.RemoveEntries(indices);
    archive.Flush();
}

// Moving the bytes [from, end) of the file down by shift, as a plain loop.
void BareMove(const std::string& path, uint64_t from, uint64_t shift)
{
    const int fd = open(path.c_str(), O_RDWR);
    struct stat st;
    fstat(fd, &st);
    std::vector<char> buffer(65536);
    for (uint64_t at = from; at < static_cast<uint64_t>(st.st_size);) {
        const ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
        if (n <= 0) break;
        if (pwrite(fd, buffer.data(), static_cast<size_t>(n), static_cast<off_t>(at - shift)) != n) break;
        at += static_cast<uint64_t>(n);
    }
    if (ftruncate(fd, st.st_size - static_cast<off_t>(shift)) != 0) std::perror("ftruncate");
    close(fd);
}

void Report(const char* what, double ours, double peer, double goal)
{
    std::printf("%-58s %8.1f ms  zip -d %8.1f ms  ratio %.3f  (goal <= %.2f)\n", what, ours * 1e3,
                peer * 1e3, ours / peer, goal);
}

} // namespace

int main()
{
    const bench::ScratchFolder dir("zipext-cleaning-bench");
    const std::string big = dir / "big.zip", many = dir / "many.zip", work = dir / "work.zip";
    const std::string full = dir / "full.zip";

    // 64 MiB: a first entry of 1 MiB, then 63 MiB in seven stored entries.
    Shell("python3 -c 'import zipfile,os,sys\n"
          "z=zipfile.ZipFile(sys.argv[1],\"w\")\n"
          "z.writestr(\"first.bin\",os.urandom(1<<20))\n"
          "[z.writestr(\"part%d.bin\" % i,os.urandom(9<<20)) for i in range(7)]\n"
          "z.close()' " + big);
    // 20000 deflated entries of about 1 KB, condemned (d...) and kept (k...)
    // in turn.
    Shell("python3 -c 'import zipfile,random,sys\n"
          "r=random.Random(5)\n"
          "w=[b\"scan \",b\"clean \",b\"entry \",b\"data \",b\"archive \",b\"\\n\"]\n"
          "z=zipfile.ZipFile(sys.argv[1],\"w\",zipfile.ZIP_DEFLATED)\n"
          "[z.writestr(\"%s%05d.txt\" % (\"dk\"[i%2],i),b\"\".join(r.choice(w) for _ in range(200))) for i in range(20000)]\n"
          "z.close()' " + many);
    // 65535 stored entries of 100 bytes, condemned and kept in turn.
    Shell("python3 -c 'import zipfile,sys\n"
          "z=zipfile.ZipFile(sys.argv[1],\"w\")\n"
          "[z.writestr(\"%s%05d\" % (\"dk\"[i%2],i),b\"%099d\\n\" % i) for i in range(65535)]\n"
          "z.close()' " + full);
    std::printf("archives: %s (%ju bytes), %s (%ju bytes), %s (%ju bytes)\n\n", big.c_str(),
                static_cast<uintmax_t>(std::filesystem::file_size(big)), many.c_str(),
                static_cast<uintmax_t>(std::filesystem::file_size(many)), full.c_str(),
                static_cast<uintmax_t>(std::filesystem::file_size(full)));

    std::vector<uint16_t> everyOther;
    for (uint16_t i = 0; i < 20000; i += 2) everyOther.push_back(i);

    const double zipFirst = Measure(big, work, [](const std::string& p) { Shell("zip -q -d " + p + " first.bin"); });
    const double oursFirst = Measure(big, work, [](const std::string& p) {
        PrefixEngine engine("first", VF_VERDICT_DELETE);
        if (Decode(p, engine) != 3) std::exit(2);
    });
    const double onlyFirst = Measure(big, work, [](const std::string& p) { RemoveOnly(p, {0}); });
    const double bareFirst = Measure(big, work, [](const std::string& p) {
        BareMove(p, (1 << 20) + 30 + 9, (1 << 20) + 30 + 9);
    });

    const double zipMany = Measure(many, work, [](const std::string& p) { Shell("zip -q -d " + p + " 'd*'"); });
    const double oursMany = Measure(many, work, [](const std::string& p) {
        PrefixEngine engine("d", VF_VERDICT_DELETE);
        if (Decode(p, engine) != 3) std::exit(2);
    });
    const double scanMany = Measure(many, work, [](const std::string& p) {
        PrefixEngine engine("d", 0);
        if (Decode(p, engine) != 0) std::exit(2);
    });
    const double onlyMany = Measure(many, work, [&](const std::string& p) { RemoveOnly(p, everyOther); });

    std::vector<uint16_t> everyOtherOfFull;
    for (uint32_t i = 0; i < 65535; i += 2) everyOtherOfFull.push_back(static_cast<uint16_t>(i));
    const double zipFull = Measure(full, work, [](const std::string& p) { Shell("zip -q -d " + p + " 'd*'"); });
    const double onlyFull = Measure(full, work, [&](const std::string& p) { RemoveOnly(p, everyOtherOfFull); });
    const double oursFull = Measure(full, work, [](const std::string& p) {
        PrefixEngine engine("d", VF_VERDICT_DELETE);
        if (Decode(p, engine) != 3) std::exit(2);
    });
    const double firstOfFull = Measure(full, work, [](const std::string& p) { RemoveOnly(p, {0}); });
    const double middleOfFull = Measure(full, work, [](const std::string& p) { RemoveOnly(p, {32768}); });
    const double lastOfFull = Measure(full, work, [](const std::string& p) { RemoveOnly(p, {65534}); });

    const double oursCure = Measure(big, work, [](const std::string& p) {
        PrefixEngine engine("first", VF_VERDICT_CURED, 1 << 20);
        if (Decode(p, engine) != 3) std::exit(2);
    });

    Report("delete the first entry of 64 MiB (export, scan included)", oursFirst, zipFirst, 0.3);
    Report("delete the first entry of 64 MiB (open, delete, directory)", onlyFirst, zipFirst, 0.3);
    Report("  bare in-place move of the same bytes", bareFirst, zipFirst, 0.3);
    Report("delete every other of 20000 entries (export, scan included)", oursMany, zipMany, 0.5);
    Report("delete every other of 20000 entries (open, delete, directory)", onlyMany, zipMany, 0.5);
    Report("  the same export scanning 10000 entries, no verdict", scanMany, zipMany, 0.5);
    Report("cure the first entry of 64 MiB (1 MiB deflated, old one deleted)", oursCure, zipFirst, 1.0);
    Report("delete every other of 65535 entries (export, scan included)", oursFull, zipFull, 0.5);
    Report("delete every other of 65535 entries (open, delete, directory)", onlyFull, zipFull, 0.5);
    std::printf("per entry: %.2f us of 20000, %.2f us of 65535 (open, delete every other, directory)\n",
                onlyMany / 20000 * 1e6, onlyFull / 65535 * 1e6);
    std::printf("one entry of 65535 (open, delete, directory): first %.1f ms, middle %.1f ms, last %.1f ms\n",
                firstOfFull * 1e3, middleOfFull * 1e3, lastOfFull * 1e3);
    return 0;
}
