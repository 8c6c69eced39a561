#pragma once

// How a transient host fault is met. A host may fail one call now and then
// (a read that delivers nothing, a write that takes nothing) and do it when
// asked again, so work such a fault spoiled is repeated before its failure
// counts; a fault that persists still fails the work. Every retry in the
// module takes its count from here, by the kind of work it repeats.
//
// The kinds nest: a transfer is repeated by the helpers that read or write
// at a position, and the whole open, extraction, add or finishing write is
// repeated by the cleaning export when it failed all the same.
enum class ZipRetryWork {
    transfer,  // one read or write at a stream position
    open,      // opening the archive, with a new archive object each time
    extract,   // extracting an entry whose read failed
    add,       // appending a cured entry (a failed add is taken back first)
    finish,    // the directory written again, or the original bytes put back:
               // the last writes of a cleaning call, without which the
               // stream holds no directory at all
};

// How often that kind of work is tried in all.
constexpr int ZipRetryAttempts(ZipRetryWork work)
{
    switch (work) {
    case ZipRetryWork::transfer:
        return 3;
    case ZipRetryWork::open:
    case ZipRetryWork::extract:
    case ZipRetryWork::add:
        return 2;
    case ZipRetryWork::finish:
        return 10;
    }
    return 1;
}

// What ZipRetry catches when told nothing else: no exception at all.
struct ZipRetryNoException {};

// Runs attempt() again and again until it answers true or the count of
// attempts for kind is used up, and answers whether one succeeded. An
// exception of type Retried fails an attempt too; the last attempt's is
// thrown on. Every other exception passes through at once.
template <class Retried = ZipRetryNoException, class Attempt>
bool ZipRetry(ZipRetryWork kind, Attempt&& attempt)
{
    const int attempts = ZipRetryAttempts(kind);
    for (int n = 1;; ++n) {
        try {
            if (attempt()) return true;
        } catch (const Retried&) {
            if (n >= attempts) throw;
            continue;
        }
        if (n >= attempts) return false;
    }
}
