// One cleaning run, repeated with the k-th host call failing, for every k:
// a read with a failure status, a write that takes only part of its bytes
// or none, a stop request from the engine; and, beyond one call, reads that
// fail from the k-th on and a burst of writes that fail from the k-th. Every time the archive must survive: it opens, every entry it
// lists reads back with a correct CRC and with bytes the entry had before
// or was cured to, and an answer of 0 leaves the stream byte for byte as it
// was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "support/cleaning_peers.h"
#include "support/test_platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Scenario {
    std::string title;
    Bytes archive;
    std::string password;
    uint64_t base = 0;
    uint64_t stub = 0;  // foreign bytes between the base and the archive
    std::map<std::string, Bytes> original;  // entry name (archive form) -> bytes
    std::map<std::string, Bytes> cured;
    std::set<std::string> deleted;

    void Prime(CleaningEngine& engine) const
    {
        if (!password.empty()) engine.passwords = {password};
        for (const auto& c : cured) engine.Cure(LocalName(c.first), c.second);
        for (const auto& d : deleted) engine.Delete(LocalName(d));
    }
    static std::string LocalName(std::string name)
    {
        for (char& c : name)
            if (c == '/') c = '\\';
        return name;
    }
};

Scenario PlainScenario()
{
    Scenario s;
    s.title = "plain";
    std::vector<CleaningEntrySpec> entries = {
        {"a.txt", CleaningText(3000, 1)},  {"b.bin", CleaningNoise(80000, 2), 0},
        {"dir/", {}},                      {"c.txt", CleaningText(100, 3)},
        {"d.txt", {}},                     {"e.bin", CleaningNoise(70000, 4)},
        {"f.txt", CleaningText(20000, 5)},
    };
    s.archive = CleaningMakeZip(entries);
    for (const auto& e : entries) s.original[e.name] = e.data;
    s.cured["c.txt"] = CleaningText(70000, 9);
    s.cured["f.txt"] = CleaningBytesOf("ok");
    s.deleted = {"a.txt", "d.txt"};
    return s;
}

Scenario EncryptedScenario()
{
    Scenario s;
    s.title = "encrypted behind a stub";
    s.password = "pw";
    std::vector<CleaningEntrySpec> entries = {
        {"a.txt", CleaningText(5000, 11)},
        {"b.bin", CleaningNoise(70000, 12)},
        {"c.txt", CleaningText(900, 13)},
    };
    const Bytes zip = CleaningMakeEncryptedZip(entries, s.password);
    // The archive sits 300 bytes into the engine's stream, behind a stub
    // that its offsets do not count.
    s.archive = CleaningNoise(300 + 1000, 14);
    s.archive.insert(s.archive.end(), zip.begin(), zip.end());
    s.base = 300;
    s.stub = 1000;
    for (const auto& e : entries) s.original[e.name] = e.data;
    s.cured["a.txt"] = CleaningText(40000, 19);
    s.deleted = {"c.txt"};
    return s;
}

struct Outcome {
    std::string what;
    int result;
    size_t reading;  // index into the distinct archives
};

void RunEveryFault(const Scenario& s)
{
    CleaningFaults counter;
    CleaningEngine clean;
    s.Prime(clean);
    const CleaningResult reference = CleaningDecode(s.archive, clean, s.base, &counter);
    ASSERT_EQ(reference.result, 3);

    std::map<Bytes, size_t> distinct;
    std::vector<Bytes> toRead;
    std::vector<Outcome> outcomes;
    auto record = [&](const std::string& what, const CleaningResult& out) {
        if (out.result == 0) {
            EXPECT_TRUE(out.archive == s.archive) << what << ": answered 0 but changed the stream";
        } else {
            EXPECT_TRUE(out.archive != s.archive) << what << ": answered 3 but left the stream as it was";
        }
        EXPECT_TRUE(out.result == 0 || out.result == 3) << what;
        // The peers get the archive without what lies in front of it.
        const uint64_t front = std::min<uint64_t>(s.base + s.stub, out.archive.size());
        EXPECT_TRUE(std::equal(out.archive.begin(), out.archive.begin() + static_cast<long>(front),
                               s.archive.begin()))
            << what << ": the bytes in front of the archive changed";
        Bytes archive(out.archive.begin() + static_cast<long>(front), out.archive.end());
        auto found = distinct.find(archive);
        if (found == distinct.end()) {
            found = distinct.emplace(archive, toRead.size()).first;
            toRead.push_back(archive);
        }
        outcomes.push_back({what, out.result, found->second});
    };
    record("no fault", reference);

    struct Plan {
        CleaningFaults::Kind kind;
        int calls;
    } plans[] = {
        {CleaningFaults::readStatus, counter.reads},   {CleaningFaults::readsFailFrom, counter.reads},
        {CleaningFaults::shortWrite, counter.writes},  {CleaningFaults::zeroWrite, counter.writes},
        {CleaningFaults::stopRequest, counter.stopChecks}, {CleaningFaults::writeBurst, counter.writes},
        // A host that refuses every write: nothing can be cleaned, and
        // nothing may be lost.
        {CleaningFaults::archiveRefusesWrites, 1},
    };
    int runs = 0;
    for (const Plan& plan : plans) {
        for (int k = 1; k <= plan.calls; ++k) {
            CleaningFaults faults;
            faults.kind = plan.kind;
            faults.at = k;
            CleaningEngine engine;
            s.Prime(engine);
            const CleaningResult out = CleaningDecode(s.archive, engine, s.base, &faults);
            if (plan.kind == CleaningFaults::archiveRefusesWrites) {
                EXPECT_EQ(out.result, 0) << s.title << ": a host refusing writes";
            }
            record(std::string(CleaningFaultName(plan.kind)) + " at call " + std::to_string(k), out);
            ++runs;
        }
    }

    const std::vector<PeerReading> readings = CleaningReadManyWithPeers(toRead, s.password, true);
    std::vector<std::string> problems(toRead.size());
    for (size_t i = 0; i < readings.size(); ++i) {
        const PeerReading& r = readings[i];
        std::string& problem = problems[i];
        if (!r.Sound()) problem = "not sound: " + r.error + " " + r.unzipOutput;
        std::set<std::string> seen;
        for (const PeerEntry& e : r.entries) {
            if (!seen.insert(e.name).second) problem += " duplicate " + e.name + ";";
            auto before = s.original.find(e.name);
            if (before == s.original.end()) {
                problem += " unknown entry " + e.name + ";";
                continue;
            }
            const bool asBefore = e.size == before->second.size() && e.crc == CleaningCrc(before->second);
            auto cure = s.cured.find(e.name);
            const bool asCured = cure != s.cured.end() && e.size == cure->second.size() &&
                                 e.crc == CleaningCrc(cure->second);
            if (!asBefore && !asCured) problem += " wrong bytes in " + e.name + ";";
        }
    }

    // A run cleaned fully when the peers read what the run without faults
    // left behind.
    auto sameContent = [&](const PeerReading& a, const PeerReading& b) {
        if (a.entries.size() != b.entries.size()) return false;
        for (size_t i = 0; i < a.entries.size(); ++i)
            if (a.entries[i].name != b.entries[i].name || a.entries[i].crc != b.entries[i].crc ||
                a.entries[i].size != b.entries[i].size)
                return false;
        return true;
    };
    std::map<std::string, std::map<std::string, int>> tally;  // fault kind -> outcome -> runs
    const PeerReading& cleaned = readings[outcomes[0].reading];
    const bool verbose = std::getenv("CLEANING_VERBOSE") != nullptr;
    for (const Outcome& o : outcomes) {
        EXPECT_TRUE(problems[o.reading].empty()) << s.title << ", " << o.what << ": " << problems[o.reading];
        const std::string kind = o.what.substr(0, o.what.find(" at call"));
        const std::string how = o.result == 0 ? "unchanged"
                                : sameContent(readings[o.reading], cleaned) ? "cleaned"
                                                                            : "partly cleaned";
        ++tally[kind][how];
        if (verbose) std::printf("  %s: %s\n", o.what.c_str(), how.c_str());
    }
    // With transient faults (one failing call), no entry that no verdict
    // touched may go missing.
    for (const Outcome& o : outcomes) {
        if (o.what.rfind("reads fail from", 0) == 0 || o.what.rfind("write burst", 0) == 0) continue;
        const PeerReading& r = readings[o.reading];
        for (const auto& e : s.original) {
            if (s.cured.count(e.first) || s.deleted.count(e.first)) continue;
            EXPECT_NE(r.Find(e.first), nullptr) << s.title << ", " << o.what << ": lost " << e.first;
        }
    }
    std::printf("%s: %d faulty runs (reads %d, writes %d, stop checks %d), %zu distinct archives\n",
                s.title.c_str(), runs, counter.reads, counter.writes, counter.stopChecks, toRead.size());
    for (const auto& k : tally) {
        std::printf("  %-16s", k.first.c_str());
        for (const auto& h : k.second) std::printf(" %s %d", h.first.c_str(), h.second);
        std::printf("\n");
    }
}

} // namespace

TEST(FaultInjection, PlainArchiveSurvivesEveryFailingCall)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip over what it wrote, whose bytes differ from the Linux run's");
    RunEveryFault(PlainScenario());
}

TEST(FaultInjection, EncryptedArchiveBehindAStubSurvivesEveryFailingCall)
{
    ZIPEXT_NEED_LINUX_TOOLS("Python's zipfile and unzip over what it wrote, whose bytes differ from the Linux run's");
    RunEveryFault(EncryptedScenario());
}
