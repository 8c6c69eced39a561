// Speed of the later methods and of WinZip AES, each read as the engine has
// it read (ZipArchive_Decode into a temporary stream that only counts):
//   bzip2, LZMA, xz, Zstandard: a 16 MiB text entry, against the bare
//     library call on the same compressed bytes (64 KiB in and out, CRC-32
//     as it goes: the floor) and `7zz x -so`. Goals: at most 1.2 times the
//     floor, and no slower than 7zz.
//   AES-256 over deflate: a 64 MiB text entry against `7zz x -so`. Goal: at
//     most 1.2 times 7zz's time.
// Times are CPU seconds, best of several runs. A method the build has no
// library for is left out.
#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#ifdef ZIPEXT_HAVE_BZIP2
#include <bzlib.h>
#endif
#ifdef ZIPEXT_HAVE_LZMA
#include <lzma.h>
#endif
#ifdef ZIPEXT_HAVE_ZSTD
#include <zstd.h>
#endif

#include "bench_raw_entries.h"
#include "bench_support.h"
#include "decoders/ZipArchiveEx.h"

using namespace bench;

namespace {

constexpr uint32_t kChunk = 65536;

struct Case {
    const char* name;
    uint16_t method;
    uint32_t size;
    std::vector<std::string> make;  // command; the archive and data file follow
    const char* password;
};

// The archive of one entry made for a case, and its compressed bytes.
struct Made {
    std::string archive;
    std::vector<uint8_t> data;
    uint16_t flags = 0;
    uint32_t crc = 0;
    bool ok = false;
};

Made Make(const Case& c, const std::string& dir)
{
    Made m;
    const std::string file = dir + "/big.txt";
    const std::vector<uint8_t> text = MakeDocumentText(c.size);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(text.data()),
                                                static_cast<std::streamsize>(text.size()));
    m.crc = static_cast<uint32_t>(crc32(0, text.data(), static_cast<uInt>(text.size())));
    m.archive = dir + "/" + c.name + ".zip";
    std::vector<std::string> args = c.make;
    if (args[0] == "python3") {
        args.push_back(m.archive);
        args.push_back(std::to_string(c.method));
        args.push_back("big.txt");
    } else {
        args.push_back(m.archive);
        args.push_back(file);
    }
    const std::string here = dir;
    if (chdir(here.c_str()) != 0 || RunChild(args) < 0) return m;
    std::vector<RawEntry> entries = ReadRawEntries(m.archive);
    if (entries.empty() || entries[0].uncompressedSize != c.size) return m;
    m.flags = entries[0].flags;
    m.data = std::move(entries[0].data);
    m.ok = true;
    return m;
}

// The bare library over the compressed bytes; false when the output is wrong.
bool Floor(uint16_t method, const Made& m, uint32_t size)
{
    std::vector<uint8_t> out(kChunk);
    uLong crc = 0;
    uint64_t total = 0;
    auto take = [&](size_t n) {
        crc = crc32(crc, out.data(), static_cast<uInt>(n));
        total += n;
    };
    (void)take;
#ifdef ZIPEXT_HAVE_BZIP2
    if (method == 12) {
        bz_stream s{};
        BZ2_bzDecompressInit(&s, 0, 0);
        s.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(m.data.data()));
        s.avail_in = static_cast<unsigned>(m.data.size());
        int r = BZ_OK;
        while (r == BZ_OK) {
            s.next_out = reinterpret_cast<char*>(out.data());
            s.avail_out = kChunk;
            r = BZ2_bzDecompress(&s);
            take(kChunk - s.avail_out);
        }
        BZ2_bzDecompressEnd(&s);
    }
#endif
#ifdef ZIPEXT_HAVE_LZMA
    if (method == 14 || method == 95) {
        lzma_stream s = LZMA_STREAM_INIT;
        std::vector<uint8_t> in;
        if (method == 14) {
            // The .lzma header from the ZIP one, as any reader must make it.
            in.assign(m.data.begin() + 4, m.data.begin() + 9);
            const uint64_t known = (m.flags & 2) ? UINT64_MAX : size;
            for (int i = 0; i < 8; ++i) in.push_back(static_cast<uint8_t>(known >> (8 * i)));
            in.insert(in.end(), m.data.begin() + 9, m.data.end());
            if (lzma_alone_decoder(&s, UINT64_MAX) != LZMA_OK) return false;
        } else {
            in = m.data;
            if (lzma_stream_decoder(&s, UINT64_MAX, 0) != LZMA_OK) return false;
        }
        s.next_in = in.data();
        s.avail_in = in.size();
        lzma_ret r = LZMA_OK;
        while (r == LZMA_OK) {
            s.next_out = out.data();
            s.avail_out = kChunk;
            r = lzma_code(&s, LZMA_RUN);
            take(kChunk - s.avail_out);
        }
        lzma_end(&s);
    }
#endif
#ifdef ZIPEXT_HAVE_ZSTD
    if (method == 93) {
        ZSTD_DCtx* d = ZSTD_createDCtx();
        ZSTD_inBuffer in = {m.data.data(), m.data.size(), 0};
        size_t r = 1;
        while (r != 0 && !ZSTD_isError(r)) {
            ZSTD_outBuffer o = {out.data(), kChunk, 0};
            r = ZSTD_decompressStream(d, &o, &in);
            take(o.pos);
        }
        ZSTD_freeDCtx(d);
    }
#endif
    return total == size && crc == m.crc;
}

} // namespace

int main()
{
    const ScratchFolder scratch("zipext-methods-bench");
    if (scratch.path.empty()) return 1;
    const std::string& dir = scratch.path;
    const std::string methodZip = std::string(ZIPEXT_SOURCE_DIR) + "/tests/support/method_zip.py";
    const Case cases[] = {
        {"bzip2", 12, 16u << 20, {"7zz", "a", "-tzip", "-mm=BZip2"}, nullptr},
        {"lzma", 14, 16u << 20, {"7zz", "a", "-tzip", "-mm=LZMA"}, nullptr},
        {"xz", 95, 16u << 20, {"python3", methodZip}, nullptr},
        {"zstd", 93, 16u << 20, {"python3", methodZip}, nullptr},
        {"aes256", 99, 64u << 20, {"7zz", "a", "-tzip", "-mm=Deflate", "-mem=AES256", "-pSecret"}, "Secret"},
    };
    const int runs = 5;
    for (const Case& c : cases) {
        if (c.method != 99 && !ZipReadsMethod(c.method)) {
            std::printf("%-7s not read by this build\n", c.name);
            continue;
        }
        const Made m = Make(c, dir);
        if (!m.ok) {
            std::printf("%-7s could not be made\n", c.name);
            continue;
        }
        const double module =
            BestOf(runs, [&] { return ThreadTime([&] { return DecodeOnce(m.archive, c.size, c.password); }); });
        const double floor =
            c.method == 99 ? -1 : BestOf(runs, [&] { return ThreadTime([&] { return Floor(c.method, m, c.size); }); });
        std::vector<std::string> peer = {"7zz", "x", "-so"};
        if (c.password) peer.push_back(std::string("-p") + c.password);
        peer.push_back(m.archive);
        const double sevenZip = BestOf(3, [&] { return RunChild(peer); });
        std::printf("%-7s %3u MiB: module %.3f s", c.name, c.size >> 20, module);
        if (floor > 0) std::printf(", library floor %.3f s (%.2f, goal <= 1.2)", floor, module / floor);
        if (sevenZip > 0)
            std::printf(", 7zz %.3f s (%.2f, goal <= %s)", sevenZip, module / sevenZip, c.method == 99 ? "1.2" : "1.0");
        std::printf("\n");
    }
    return 0;
}
