#include "Report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "Limits.h"

namespace zipscan {

namespace {

// Length of the well-formed UTF-8 sequence starting at i, or 0 when there is
// none (overlong forms, surrogates and values past U+10FFFF included).
std::size_t Utf8Length(const std::string& s, std::size_t i)
{
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    unsigned char b = at(0);
    if (b < 0x80) return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) n = 3, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
    else if (b >= 0xF0 && b <= 0xF4) n = 4, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
    if (n == 0 || i + n > s.size()) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((at(k) & 0xC0) != 0x80) return 0;
    return n;
}

std::string Hex2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

std::string TakenText(const EntryResult& e, bool clean)
{
    if (e.taken == Taken::Deleted) return "deleted";
    if (e.taken == Taken::Cured) return "cured";
    if (!e.findings.empty()) {
        Action wanted = e.Wanted();
        if (wanted != Action::Report && !clean) return std::string("reported (") + ActionName(wanted) + " with --clean)";
        return "reported";
    }
    return "none";
}

std::string FindingsText(const EntryResult& e)
{
    std::string out;
    for (const Finding& f : e.findings) {
        if (!out.empty()) out += ", ";
        out += Printable(f.signature);
        if (f.matches > 1) out += " (" + std::to_string(f.matches) + " matches)";
    }
    return out;
}

// The module hands names out in its local form, with backslashes between
// folders; people and other tools know them with forward slashes.
std::string DisplayName(const std::string& name)
{
    std::string out = name;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

// Code page 437, bytes 0x80 to 0xFF: what a name without the UTF-8 flag
// means when it is no UTF-8 either (names from Windows tools).
const unsigned short kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

std::string FromCp437(const std::string& name)
{
    std::string out;
    for (char c : name) {
        auto b = static_cast<unsigned char>(c);
        unsigned v = b < 0x80 ? b : kCp437High[b - 0x80];
        if (v < 0x80) {
            out += static_cast<char>(v);
        } else if (v < 0x800) {
            out += static_cast<char>(0xC0 | (v >> 6));
            out += static_cast<char>(0x80 | (v & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (v >> 12));
            out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (v & 0x3F));
        }
    }
    return out;
}

std::string DisplayName(const EntryResult& e)
{
    if (e.fileBytes) return "(the file's own bytes)";
    if (e.cp437 && !ValidUtf8(e.name)) return DisplayName(FromCp437(e.name));
    return DisplayName(e.name);
}

const char* StatusWord(int status)
{
    return status == 2 ? "error" : status == 1 ? "found" : "clean";
}

} // namespace

std::string Printable(const std::string& text)
{
    // Control bytes, the C1 controls (U+0080 to U+009F, which terminals
    // obey as well) and bytes that are no UTF-8 are shown escaped.
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        std::size_t n = Utf8Length(text, i);
        const bool c1 = n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (b < 0x20 || b == 0x7F || n == 0 || c1) {
            const std::size_t count = n == 0 ? 1 : n;
            for (std::size_t k = 0; k < count; ++k) out += "\\x" + Hex2(static_cast<unsigned char>(text[i + k]));
            i += count;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

bool ValidUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = Utf8Length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string HexBytes(const std::string& text)
{
    std::string out;
    for (char c : text) out += Hex2(static_cast<unsigned char>(c));
    return out;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        std::size_t n = Utf8Length(text, i);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
            ++i;
        } else if (b < 0x20 || b == 0x7F) {
            out += "\\u00" + Hex2(b);
            ++i;
        } else if (n == 0) {
            // A byte that is no UTF-8 becomes a lone low surrogate
            // (U+DC80 to U+DCFF), as Python's surrogateescape has it: two
            // different byte strings never give one text, and the bytes come
            // back with .encode("utf-8", "surrogateescape").
            out += "\\uDC" + Hex2(b);
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out + "\"";
}

std::string Problem(const EntryResult& entry, bool passwordsGiven)
{
    if (entry.fileBytes || entry.complete) return std::string();
    if (!entry.incomplete.empty()) return entry.incomplete;
    if (entry.scanned) return "content not verified";
    if (entry.directory) return std::string();
    if (!entry.limit.empty()) return entry.limit + " limit reached";
    if (entry.passwordAsked)
        return passwordsGiven ? "encrypted, and no given password fitted" : "encrypted, and no password was given";
    return "could not be extracted (damaged, or a method the module does not read)";
}

std::string ErrorReason(const FileResult& r, bool passwordsGiven)
{
    if (!r.error.empty()) return r.error;
    std::size_t n = r.NotFullyScanned();
    const bool limitsUntold = !r.limits.empty() && !r.LimitFound();
    if (n == 0 && r.notes.empty() && !limitsUntold) return std::string();
    // The reasons in the order first met, each once.
    std::vector<std::string> reasons = r.notes;
    if (n == 0 && limitsUntold)
        for (const std::string& limit : r.limits) reasons.push_back(limit + " limit reached");
    for (const EntryResult& e : r.entries) {
        std::string why = Problem(e, passwordsGiven);
        // Numbers differ from entry to entry; the kind of reason is enough here.
        std::size_t colon = why.find(':');
        if (colon != std::string::npos && why.compare(0, 9, "encrypted") != 0) why.resize(colon);
        std::size_t paren = why.find(" (");
        if (paren != std::string::npos && why.compare(0, 3, "raw") != 0) why.resize(paren);
        if (!why.empty() && std::find(reasons.begin(), reasons.end(), why) == reasons.end()) reasons.push_back(why);
    }
    std::string out = n == 0 ? std::string("not fully scanned")
                             : std::to_string(n) + (n == 1 ? " entry" : " entries") + " not fully scanned";
    for (std::size_t i = 0; i < reasons.size(); ++i) out += (i ? "; " : ": ") + reasons[i];
    return out;
}

std::string ScanText(const FileResult& r, const ReportOptions& o)
{
    if (o.infectedOnly && ScanStatus(r) == 0) return std::string();
    std::string path = Printable(r.path);
    if (!r.recognised && !r.error.empty()) return path + ": error: " + Printable(r.error) + "\n";
    std::string out = path + "\n";
    std::size_t deleted = 0, cured = 0, partial = 0;
    for (const EntryResult& e : r.entries) {
        char size[32] = "-";
        if (e.scanned) std::snprintf(size, sizeof size, "%llu", static_cast<unsigned long long>(e.size));
        std::string status;
        const std::string problem = Problem(e, o.passwordsGiven);
        if (e.fileBytes) {
            status = "FOUND " + FindingsText(e) + " -> reported";
        } else if (e.directory && problem.empty()) {
            status = "directory";
        } else if (!e.scanned && problem.empty()) {
            status = "empty";
        } else if (!e.scanned) {
            status = "not scanned: " + problem;
        } else if (e.findings.empty()) {
            status = e.taken == Taken::Nothing ? "clean" : "archive with findings -> " + TakenText(e, o.clean);
        } else {
            status = "FOUND " + FindingsText(e) + " -> " + TakenText(e, o.clean);
        }
        if (e.scanned && !problem.empty()) {
            status += " (not fully scanned: " + Printable(problem) + ")";
            ++partial;
        }
        // With -i an entry that holds nothing to tell gets no line.
        const bool quietEntry = e.findings.empty() && problem.empty() && e.taken == Taken::Nothing;
        char line[48];
        std::snprintf(line, sizeof line, "  %12s  ", size);
        if (!(o.infectedOnly && quietEntry)) out += line + Printable(DisplayName(e)) + ": " + status + "\n";
        deleted += e.taken == Taken::Deleted ? 1 : 0;
        cured += e.taken == Taken::Cured ? 1 : 0;
    }
    // Further readings of an entry have lines of their own but are not
    // entries of their own.
    std::size_t count = 0, nested = 0;
    for (const EntryResult& e : r.entries) {
        count += e.repeated || e.depth > 0 || e.fileBytes ? 0 : 1;
        nested += e.depth > 0 && !e.repeated ? 1 : 0;
    }
    for (const std::string& note : r.notes) out += "  note: " + Printable(note) + "\n";
    out += path + ": " + std::to_string(count) + (count == 1 ? " entry" : " entries");
    if (nested) out += " and " + std::to_string(nested) + " within archives in them";
    std::size_t found = r.Found();
    if (found) out += ", " + std::to_string(found) + " found";
    if (r.changed) out += ", " + std::to_string(deleted) + " deleted, " + std::to_string(cured) + " cured, archive rewritten";
    if (r.inPlace) out += " in place (it has several hard links)";
    std::size_t unscanned = r.Unscanned();
    if (unscanned) out += ", " + std::to_string(unscanned) + " not scanned";
    if (partial) out += ", " + std::to_string(partial) + " not fully scanned";
    if (r.stopped) out += ", stopped early";
    if (!r.limits.empty()) {
        std::string names;
        for (const std::string& limit : r.limits)
            names += (names.empty() ? "" : ", ") + (r.limitsReported ? LimitFinding(limit) : limit);
        out += r.limitsReported ? ", FOUND " + names : ", limits reached (not reported): " + names;
    }
    for (const std::string& alert : r.alerts) out += ", FOUND " + alert;
    if (!r.notes.empty()) out += ", not fully scanned (see the notes)";
    if (!r.fileAction.empty()) out += ", file " + Printable(r.fileAction);
    if (!r.error.empty()) out += ", error: " + Printable(r.error);
    else if (ScanStatus(r) == 0) out += ", clean";
    return out + "\n";
}

std::string ScanJson(const FileResult& r, const ReportOptions& o)
{
    int status = ScanStatus(r);
    if (o.infectedOnly && status == 0) return std::string();
    std::string out = "{\"file\":" + JsonString(r.path);
    out += ",\"status\":\"" + std::string(StatusWord(status)) + "\",\"exit\":" + std::to_string(status);
    out += ",\"zip\":" + std::string(r.recognised ? "true" : "false");
    std::string reason = ErrorReason(r, o.passwordsGiven);
    out += ",\"error\":" + (reason.empty() ? std::string("null") : JsonString(reason));
    if (!ValidUtf8(r.path)) out += ",\"file_bytes\":\"" + HexBytes(r.path) + "\"";
    out += ",\"offset\":" + std::to_string(r.base);
    out += ",\"notes\":[";
    for (std::size_t i = 0; i < r.notes.size(); ++i) out += (i ? "," : "") + JsonString(r.notes[i]);
    out += "]";
    // What is wrong with the archive's own listing, where that is known.
    out += ",\"directory\":";
    if (r.directoryReason == ZipReason::none) {
        out += "null";
    } else {
        const bool at = r.directoryReasonOffset != kZipNoOffset;
        out += "{\"reason\":" + JsonString(ZipReasonText(r.directoryReason)) +
               ",\"at\":" + (at ? std::to_string(r.directoryReasonOffset) : std::string("null")) + "}";
    }
    out += ",\"clean\":" + std::string(o.clean ? "true" : "false");
    out += ",\"changed\":" + std::string(r.changed ? "true" : "false");
    out += ",\"in_place\":" + std::string(r.inPlace ? "true" : "false");
    out += ",\"stopped\":" + std::string(r.stopped ? "true" : "false");
    out += ",\"limits\":[";
    for (std::size_t i = 0; i < r.limits.size(); ++i)
        out += (i ? "," : "") + JsonString(LimitFinding(r.limits[i]));
    out += "],\"limitsReported\":" + std::string(r.limitsReported ? "true" : "false");
    out += ",\"alerts\":[";
    for (std::size_t i = 0; i < r.alerts.size(); ++i) out += (i ? "," : "") + JsonString(r.alerts[i]);
    out += "],\"file_action\":" + (r.fileAction.empty() ? std::string("null") : JsonString(r.fileAction));
    out += ",\"entries\":[";
    for (std::size_t i = 0; i < r.entries.size(); ++i) {
        const EntryResult& e = r.entries[i];
        if (i) out += ",";
        out += "{\"name\":" + JsonString(DisplayName(e));
        // Names are bytes: one that is no UTF-8 is given in hex as well, so
        // that it can be told apart and recovered exactly.
        if (!ValidUtf8(e.name)) out += ",\"name_bytes\":\"" + HexBytes(e.name) + "\"";
        out += ",\"path\":" + JsonString(r.path + "/" + DisplayName(e));
        out += ",\"file_bytes\":" + std::string(e.fileBytes ? "true" : "false");
        out += ",\"listed_only\":" + std::string(e.listedOnly ? "true" : "false");
        out += ",\"depth\":" + std::to_string(e.depth);
        out += ",\"directory\":" + std::string(e.directory ? "true" : "false");
        out += ",\"scanned\":" + std::string(e.scanned ? "true" : "false");
        out += ",\"complete\":" + std::string(e.complete || e.fileBytes ? "true" : "false");
        out += ",\"size\":" + (e.scanned || e.fileBytes ? std::to_string(e.size) : std::string("null"));
        out += ",\"limit\":" + (e.limit.empty() ? std::string("null") : JsonString(e.limit));
        out += ",\"findings\":[";
        for (std::size_t k = 0; k < e.findings.size(); ++k) {
            const Finding& f = e.findings[k];
            if (k) out += ",";
            out += "{\"signature\":" + JsonString(f.signature) + ",\"action\":\"" + ActionName(f.action) +
                   "\",\"matches\":" + std::to_string(f.matches) + "}";
        }
        out += "]";
        std::string taken = e.taken == Taken::Deleted ? "deleted"
                          : e.taken == Taken::Cured   ? "cured"
                          : e.findings.empty()        ? "none"
                                                      : "reported";
        out += ",\"action\":\"" + taken + "\"";
        std::string problem = Problem(e, o.passwordsGiven);
        out += ",\"problem\":" + (problem.empty() ? std::string("null") : JsonString(problem)) + "}";
    }
    return out + "]}\n";
}

std::string ScanLine(const FileResult& r, const ReportOptions& o)
{
    if (r.excluded) return o.infectedOnly ? std::string() : ExcludedLine(r.path);
    if (o.infectedOnly && ScanStatus(r) == 0) return std::string();
    std::string out = Printable(r.path) + ": ";
    std::string reason = ErrorReason(r, o.passwordsGiven);
    std::string found;
    std::size_t partial = 0;
    for (const EntryResult& e : r.entries) {
        partial += e.scanned && !Problem(e, o.passwordsGiven).empty() ? 1 : 0;
        if (e.findings.empty()) continue;
        found += (found.empty() ? "" : "; ") + FindingsText(e) + " in " + Printable(DisplayName(e)) + " -> " +
                 TakenText(e, o.clean);
    }
    if (r.LimitFound())
        for (const std::string& limit : r.limits) found += (found.empty() ? "" : "; ") + LimitFinding(limit);
    for (const std::string& alert : r.alerts) found += (found.empty() ? "" : "; ") + alert;
    if (!found.empty()) out += "FOUND " + found;
    if (!reason.empty()) out += (found.empty() ? "" : ", ") + std::string("error: ") + Printable(reason);
    if (found.empty() && reason.empty()) out += "clean";
    if (r.changed) out += r.inPlace ? ", archive rewritten in place" : ", archive rewritten";
    if (!r.fileAction.empty()) out += ", file " + Printable(r.fileAction);
    if (partial && reason.empty()) out += ", " + std::to_string(partial) + " not fully scanned";
    if (r.stopped) out += ", stopped early";
    if (!r.limits.empty() && !r.limitsReported) {
        std::string names;
        for (const std::string& limit : r.limits) names += (names.empty() ? "" : ", ") + limit;
        out += ", limits reached (not reported): " + names;
    }
    return out + "\n";
}

void ScanTotals::Add(const FileResult& r, bool walked)
{
    if (r.excluded) {
        ++excluded;
        return;
    }
    if (r.notArchive && walked) {
        ++files;
        ++skipped;
        dataRead += r.dataRead;
        dataScanned += r.dataScanned;
        return;
    }
    const int fileStatus = ScanStatus(r);
    files += r.recognised || r.notArchive ? 1 : 0;
    archives += r.scannedAtAll ? 1 : 0;
    infected += fileStatus == 1 ? 1 : 0;
    notFullyScanned += r.NotFullyScanned();
    errors += !r.error.empty() ? 1 : 0;
    dataRead += r.dataRead;
    dataScanned += r.dataScanned;
}

namespace {

std::string Megabytes(std::uint64_t bytes)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string Date(long long seconds, const char* format)
{
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local {};
    char text[64] = "";
    if (::localtime_r(&t, &local)) std::strftime(text, sizeof text, format, &local);
    return text;
}

} // namespace

std::string ScanSummary(const ScanTotals& t)
{
    char ratio[48], time[96];
    std::snprintf(ratio, sizeof ratio, " (ratio %.2f:1)",
                  t.dataRead ? static_cast<double>(t.dataScanned) / static_cast<double>(t.dataRead) : 0.0);
    const unsigned long long whole = static_cast<unsigned long long>(t.seconds);
    std::snprintf(time, sizeof time, "%.3f sec (%llu m %llu s)", t.seconds, whole / 60, whole % 60);
    const char* format = "%Y:%m:%d %H:%M:%S";
    std::string out = "----------- SCAN SUMMARY -----------\n";
    out += "Scanned directories: " + std::to_string(t.directories) + "\n";
    out += "Scanned files: " + std::to_string(t.files) + "\n";
    out += "Scanned archives: " + std::to_string(t.archives) + "\n";
    out += "Infected files: " + std::to_string(t.infected) + "\n";
    out += "Entries not fully scanned: " + std::to_string(t.notFullyScanned) + "\n";
    out += "Errors: " + std::to_string(t.errors) + "\n";
    out += "Skipped (not ZIP archives): " + std::to_string(t.skipped) + "\n";
    if (t.excluded) out += "Excluded: " + std::to_string(t.excluded) + "\n";
    out += "Data scanned: " + Megabytes(t.dataScanned) + "\n";
    out += "Data read: " + Megabytes(t.dataRead) + ratio + "\n";
    out += std::string("Time: ") + time + "\n";
    out += "Start Date: " + Date(t.started, format) + "\n";
    out += "End Date:   " + Date(t.ended, format) + "\n";
    return out;
}

std::string ScanSummaryJson(const ScanTotals& t)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", t.seconds);
    const char* format = "%Y-%m-%dT%H:%M:%S%z";
    return "{\"summary\":{\"scanned_directories\":" + std::to_string(t.directories) +
           ",\"scanned_files\":" + std::to_string(t.files) + ",\"scanned_archives\":" + std::to_string(t.archives) +
           ",\"infected_files\":" + std::to_string(t.infected) +
           ",\"entries_not_fully_scanned\":" + std::to_string(t.notFullyScanned) +
           ",\"errors\":" + std::to_string(t.errors) + ",\"skipped\":" + std::to_string(t.skipped) +
           ",\"excluded\":" + std::to_string(t.excluded) + ",\"data_scanned\":" + std::to_string(t.dataScanned) +
           ",\"data_read\":" + std::to_string(t.dataRead) + ",\"seconds\":" + seconds +
           ",\"start\":" + JsonString(Date(t.started, format)) + ",\"end\":" + JsonString(Date(t.ended, format)) +
           ",\"exit\":" + std::to_string(t.status) + "}}\n";
}

std::string ExcludedLine(const std::string& path)
{
    return Printable(path) + ": excluded\n";
}

std::string CheckText(const FileResult& r)
{
    if (!r.error.empty()) return Printable(r.path) + ": error: " + Printable(r.error) + "\n";
    return Printable(r.path) + (r.recognised ? ": ZIP archive\n" : ": not a ZIP archive\n");
}

std::string CheckJson(const FileResult& r)
{
    return "{\"file\":" + JsonString(r.path) + ",\"zip\":" + (r.recognised ? "true" : "false") +
           ",\"error\":" + (r.error.empty() ? std::string("null") : JsonString(r.error)) + "}\n";
}

std::string SelfTestText(const std::string& archive, const std::string& dir, const std::vector<ExtractedFile>& files)
{
    std::string out;
    for (const ExtractedFile& f : files) {
        char size[32];
        std::snprintf(size, sizeof size, "  %12llu  ", f.size);
        out += size + Printable(f.name) + "\n";
    }
    return out + Printable(archive) + ": self-test wrote " + std::to_string(files.size()) + " files below " +
           Printable(dir) + "\n";
}

std::string SelfTestJson(const std::string& archive, const std::string& dir, int result,
                         const std::vector<ExtractedFile>& files, const std::string& error)
{
    std::string out = "{\"file\":" + JsonString(archive) + ",\"dir\":" + JsonString(dir) +
                      ",\"result\":" + std::to_string(result) +
                      ",\"error\":" + (error.empty() ? std::string("null") : JsonString(error)) + ",\"extracted\":[";
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i) out += ",";
        out += "{\"name\":" + JsonString(files[i].name) + ",\"size\":" + std::to_string(files[i].size) + "}";
    }
    return out + "]}\n";
}

} // namespace zipscan
