#include "cleaning_peers.h"

#ifndef _WIN32
#include <unistd.h>
#endif
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/shell.h"
#include "support/test_platform.h"

namespace {

const char* const readerScript = R"PY(
import sys, zipfile, zlib
pwd = sys.argv[1].encode() if sys.argv[1] else None
digests = sys.argv[2] == "1"
for idx, path in enumerate(sys.argv[3:]):
    try:
        zf = zipfile.ZipFile(path)
        infos = zf.infolist()
    except Exception as e:
        print("F\t%d\t%s" % (idx, repr(e).replace("\t", " ").replace("\n", " ")))
        continue
    print("O\t%d" % idx)
    for info in infos:
        name = info.filename.encode("utf-8").hex()
        d = 1 if info.filename.endswith("/") else 0
        try:
            data = zf.read(info, pwd=pwd)
            body = "" if digests else data.hex()
            print("E\t%d\t%s\t1\t%d\t%d\t%d\t%d\t%d\t%s" % (idx, name, d, zlib.crc32(data), len(data), info.compress_type, info.flag_bits, body))
        except Exception as e:
            print("E\t%d\t%s\t0\t%d\t0\t0\t%d\t%d\t" % (idx, name, d, info.compress_type, info.flag_bits))
)PY";

const char* const writerScript = R"PY(
import sys, zipfile
out, listing, comment = sys.argv[1], sys.argv[2], sys.argv[3]
zf = zipfile.ZipFile(out, "w")
for line in open(listing):
    name_hex, method, path = line.rstrip("\n").split("\t")
    name = bytes.fromhex(name_hex).decode("utf-8")
    zi = zipfile.ZipInfo(name, date_time=(2021, 6, 7, 8, 9, 10))
    zi.compress_type = int(method)
    if name.endswith("/"):
        zi.external_attr = (0o40755 << 16) | 0x10
        data = b""
    else:
        zi.external_attr = 0o100644 << 16
        data = open(path, "rb").read()
    zf.writestr(zi, data)
zf.comment = comment.encode()
zf.close()
)PY";

std::string Hex(const std::string& s)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::vector<uint8_t> Unhex(const std::string& s)
{
    std::vector<uint8_t> out(s.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(std::stoi(s.substr(2 * i, 2), nullptr, 16));
    return out;
}

std::vector<std::string> Split(const std::string& line, char sep)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(line);
    while (std::getline(in, part, sep)) parts.push_back(part);
    if (!line.empty() && line.back() == sep) parts.push_back("");
    return parts;
}

} // namespace

std::vector<uint8_t> CleaningText(size_t n, uint32_t seed)
{
    static const char* words[] = {"archive ", "entry ", "scanner ", "clean ", "deflate ",
                                  "header ", "central ", "local ", "data\n", "signature "};
    std::mt19937 random(seed);
    std::vector<uint8_t> out;
    out.reserve(n);
    while (out.size() < n) {
        const char* w = words[random() % 10];
        while (*w && out.size() < n) out.push_back(static_cast<uint8_t>(*w++));
    }
    return out;
}

std::vector<uint8_t> CleaningNoise(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(random());
    return out;
}

std::vector<uint8_t> CleaningBytesOf(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

namespace {

// Archives that Python's zipfile and Info-ZIP zip make, and what Python's
// zipfile and unzip say of an archive, kept for the Windows build, which
// cannot run them: a Linux run with ZIPEXT_PREPARED_ARCHIVES naming a folder
// stores each archive it had made there, under a digest of the request
// (maker, entries, comment, password, archive added to), and each reader's
// answer under a digest of the archives it read; the Windows build reads
// them back from there (the folder the variable names, else the one the
// build was configured with). Archives of the same request are
// interchangeable for the tests, which only read them; a reader's answer
// holds for the Windows build only where it wrote the very bytes the Linux
// build did, and a Windows run whose module wrote other bytes finds no
// answer and fails.
std::string PreparedFolder()
{
    const char* named = std::getenv("ZIPEXT_PREPARED_ARCHIVES");
    if (named && *named) return named;
#ifdef ZIPEXT_PREPARED_DIR
    return ZIPEXT_PREPARED_DIR;
#else
    return "";
#endif
}

void AddToRequest(std::string& request, const std::string& field)
{
    request += std::to_string(field.size()) + ':' + field;
}

std::string RequestOf(const char* maker, const std::vector<CleaningEntrySpec>& entries,
                      const std::string& extra, const std::vector<uint8_t>& archive)
{
    std::string request = maker;
    for (const auto& e : entries) {
        AddToRequest(request, e.name);
        AddToRequest(request, std::to_string(e.method));
        AddToRequest(request, std::string(e.data.begin(), e.data.end()));
    }
    AddToRequest(request, extra);
    AddToRequest(request, std::string(archive.begin(), archive.end()));
    return request;
}

// Two 64-bit FNV-1a sums of different seeds: a file name for the request.
std::string DigestOf(const std::string& request)
{
    uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
    for (unsigned char c : request) {
        a = (a ^ c) * 0x100000001b3ull;
        b = (b ^ c ^ 0x5a) * 0x100000001b3ull;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return text;
}

std::string RequestOfArchives(const char* reader, const std::vector<std::vector<uint8_t>>& archives,
                              const std::string& extra)
{
    std::string request = reader;
    for (const auto& a : archives) AddToRequest(request, std::string(a.begin(), a.end()));
    AddToRequest(request, extra);
    return request;
}

template <typename Make>
std::vector<uint8_t> Prepared(const std::string& request, Make make)
{
    const std::string folder = PreparedFolder();
    const std::string file = folder + "/" + DigestOf(request) + ".zip";
#ifdef _WIN32
    (void)make;
    if (folder.empty() || !std::filesystem::exists(file))
        throw std::runtime_error("archive not prepared on the Linux side (" + file +
                                 "): run the Linux tests with ZIPEXT_PREPARED_ARCHIVES first");
    return ReadWholeFile(file);
#else
    const std::vector<uint8_t> bytes = make();
    if (!folder.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        // Whole or not at all, since tests run in parallel.
        const std::string part = file + "." + std::to_string(getpid());
        WriteWholeFile(part, bytes);
        std::filesystem::rename(part, file, ignored);
    }
    return bytes;
#endif
}

} // namespace

std::vector<uint8_t> CleaningMakeZip(const std::vector<CleaningEntrySpec>& entries,
                                     const std::string& comment)
{
    return Prepared(RequestOf("zipfile", entries, comment, {}), [&] {
        TempDir dir;
        std::ofstream listing(dir.File("listing"));
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string path = dir.File("d" + std::to_string(i));
            WriteWholeFile(path, entries[i].data);
            listing << Hex(entries[i].name) << '\t' << entries[i].method << '\t' << path << '\n';
        }
        listing.close();
        WriteWholeFile(dir.File("w.py"), CleaningBytesOf(writerScript));
        int status = 0;
        ShellOutput("python3 " + Quote(dir.File("w.py")) + " " + Quote(dir.File("out.zip")) + " " +
                          Quote(dir.File("listing")) + " " + Quote(comment),
                      &status);
        if (status != 0) throw std::runtime_error("zipfile could not write the archive");
        return ReadWholeFile(dir.File("out.zip"));
    });
}

std::vector<uint8_t> CleaningZipAdd(const std::vector<uint8_t>& archive,
                                    const std::vector<CleaningEntrySpec>& entries,
                                    const std::string& password)
{
    return Prepared(RequestOf("zip", entries, password, archive), [&] {
        TempDir dir;
        std::filesystem::create_directory(dir.File("in"));
        if (!archive.empty()) WriteWholeFile(dir.File("out.zip"), archive);
        std::string names;
        for (const auto& e : entries) {
            const std::string path = dir.File("in/" + e.name);
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            WriteWholeFile(path, e.data);
            names += " " + Quote(e.name);
        }
        const std::string secret = password.empty() ? "" : " -P " + Quote(password);
        int status = 0;
        ShellOutput("cd " + Quote(dir.File("in")) + " && zip -q -X -D" + secret + " ../out.zip" + names,
                      &status);
        if (status != 0) throw std::runtime_error("zip could not write the archive");
        return ReadWholeFile(dir.File("out.zip"));
    });
}

std::vector<uint8_t> CleaningMakeEncryptedZip(const std::vector<CleaningEntrySpec>& entries,
                                              const std::string& password)
{
    return CleaningZipAdd({}, entries, password);
}

bool PeerReading::Sound() const
{
    if (!opened || !unzipOk) return false;
    for (const auto& e : entries)
        if (!e.ok) return false;
    return true;
}

const PeerEntry* PeerReading::Find(const std::string& name) const
{
    for (const auto& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

std::vector<PeerReading> CleaningReadManyWithPeers(const std::vector<std::vector<uint8_t>>& archives,
                                                   const std::string& password, bool digestsOnly)
{
    TempDir dir;
    std::vector<PeerReading> out(archives.size());
    std::string paths;
    for (size_t i = 0; i < archives.size(); ++i) {
        const std::string path = dir.File("a" + std::to_string(i) + ".zip");
        WriteWholeFile(path, archives[i]);
        paths += " " + Quote(path);
    }
    WriteWholeFile(dir.File("r.py"), CleaningBytesOf(readerScript));
    const std::vector<uint8_t> answer =
        Prepared(RequestOfArchives("zipfile reads", archives, password + (digestsOnly ? "1" : "0")), [&] {
            return CleaningBytesOf(ShellOutput("python3 " + Quote(dir.File("r.py")) + " " + Quote(password) +
                                                 " " + (digestsOnly ? "1" : "0") + paths));
        });
    const std::string listing(answer.begin(), answer.end());
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        const auto f = Split(line, '\t');
        if (f.size() < 2) continue;
        const size_t idx = std::stoul(f[1]);
        if (idx >= out.size()) continue;
        if (f[0] == "O") out[idx].opened = true;
        if (f[0] == "F") out[idx].error = f.size() > 2 ? f[2] : "";
        if (f[0] == "E" && f.size() >= 10) {
            PeerEntry e;
            const auto nameBytes = Unhex(f[2]);
            e.name.assign(nameBytes.begin(), nameBytes.end());
            e.ok = f[3] == "1";
            e.directory = f[4] == "1";
            e.crc = static_cast<uint32_t>(std::stoul(f[5]));
            e.size = std::stoull(f[6]);
            e.method = std::stoi(f[7]);
            e.flags = std::stoi(f[8]);
            e.data = Unhex(f[9]);
            out[idx].entries.push_back(std::move(e));
        }
    }
    for (size_t i = 0; i < archives.size(); ++i) {
        int status = 0;
        const std::string path = dir.File("a" + std::to_string(i) + ".zip");
        // The exit status in the first byte, then what unzip printed.
        const std::vector<uint8_t> answer =
            Prepared(RequestOfArchives("unzip tests", {archives[i]}, password), [&] {
                std::vector<uint8_t> said = CleaningBytesOf(ShellOutput(
                    "unzip -tqq -P " + Quote(password) + " " + Quote(path) + " </dev/null 2>&1", &status));
                said.insert(said.begin(), static_cast<uint8_t>(status));
                return said;
            });
        status = answer.empty() ? -1 : answer[0];
        out[i].unzipOutput.assign(answer.begin() + (answer.empty() ? 0 : 1), answer.end());
        // unzip answers 1 for an archive without entries.
        out[i].unzipOk = status == 0 || (status == 1 && out[i].unzipOutput.find("zipfile is empty") !=
                                                            std::string::npos);
    }
    return out;
}

PeerReading CleaningReadWithPeers(const std::vector<uint8_t>& archive, const std::string& password)
{
    return CleaningReadManyWithPeers({archive}, password, false)[0];
}

PeerTestRun CleaningTestWithUnzipAnd7zz(const std::vector<uint8_t>& archive)
{
    TempDir dir;
    const std::string path = dir.File("t.zip");
    WriteWholeFile(path, archive);
    PeerTestRun run;
    run.unzipOutput = ShellOutput("unzip -tqq " + Quote(path) + " </dev/null 2>&1", &run.unzipStatus);
    ShellOutput("7zz t -tzip -bso0 -bsp0 " + Quote(path) + " </dev/null >/dev/null 2>&1", &run.sevenZipStatus);
    return run;
}

uint32_t CleaningCrc(const std::vector<uint8_t>& bytes)
{
    return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}
