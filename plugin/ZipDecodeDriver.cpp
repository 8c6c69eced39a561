// The cleaning export: the engine scans every entry of an archive and the
// module carries out its verdicts in place.
#include "plugin/ZipDecodeDriver.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipAddRequest.h"
#include "archive/ZipConstants.h"
#include "archive/ZipEntryExtent.h"
#include "errors/ZipException.h"

using namespace ZipFormat;

namespace {

constexpr uint32_t extractBufferSize = 65536;
// A host that fails once must not decide the fate of an entry: extracting
// and appending are tried this often.
constexpr int extractAttempts = 2;
constexpr int addAttempts = 2;
constexpr int openAttempts = 2;
// How often the directory is written again when writing it fails, and how
// often the original bytes are put back: these are the last writes of the
// call, and without them the stream holds no directory at all.
constexpr int finishAttempts = 10;

} // namespace

CZipDecodeDriver::CZipDecodeDriver(VFStream* archiveStreamArg, unsigned int baseLow, int baseHigh,
                                   VFStream* temporaryStreamArg, VFDecodeCallback* callback)
    : archiveHost(archiveStreamArg),
      temporaryHost(temporaryStreamArg),
      engine(callback),
      gate(callback),
      archiveStream(archiveStreamArg, baseLow, baseHigh, &gate),
      temporaryStream(temporaryStreamArg, 0, 0, nullptr)
{
}

int CZipDecodeDriver::Run()
{
    if (!archiveHost || !temporaryHost || !engine) return 0;
    // An open that fails is tried once more with a new archive object: one
    // failed host read must not leave the archive unscanned.
    for (int attempt = 1;; ++attempt) {
        try {
            archive = std::make_unique<CZipArchiveEx>();
            archive->Open(archiveStream, CZipArchive::openExisting);
            break;
        } catch (const CZipException& e) {
            // One piece of a multi-volume archive: nothing to walk.
            if (e.code == ZipError::tooManyVolumes) break;
            if (attempt >= openAttempts) return 0;
        } catch (...) {
            return 0;
        }
    }

    try {
        archive->SetIgnoreCrc(true);
        Walk();
    } catch (...) {
        // Whatever stopped the walk, what was done so far is finished
        // properly below.
    }
    try {
        return Finish();
    } catch (...) {
        return touched ? 3 : 0;
    }
}

void CZipDecodeDriver::Walk()
{
    // Entries appended by cures are not visited.
    const int count = archive->GetCount();
    for (int i = 0; i < count; ++i) {
        const uint16_t index = static_cast<uint16_t>(i);
        CZipEntryHeader header;
        if (!archive->GetFileInfo(header, index)) continue;
        if (!VisitEntry(index, header)) return;
        gate.Close();
        if (engine->IsStopRequested()) return;
    }
}

bool CZipDecodeDriver::VisitEntry(uint16_t index, const CZipEntryHeader& header)
{
    const std::string name = header.NameAsString();
    if (!engine->WantEntry(name.c_str())) return true;

    // Reading the entry may be cut short by the engine's stop request.
    gate.Open();
    try {
        // One password question per failure: the trial open asks when the
        // entry needs a password the archive does not have; an extraction
        // that still fails for want of one (the trial open failed for
        // another reason) asks then.
        bool asked = false;
        try {
            if (archive->OpenEntry(index)) archive->CloseEntry(nullptr, false);
        } catch (const CZipException& e) {
            CloseEntryQuietly();
            if (e.code == ZipError::badPassword) {
                asked = true;
                if (!AskPassword(name)) return false;
            }
        }

        // One failed host read must not leave a condemned entry unscanned:
        // an extraction that fails is tried once more.
        bool extracted = false;
        for (int attempt = 1;; ++attempt) {
            try {
                temporaryStream.SetLength(0);
                temporaryStream.SeekToBegin();
                extracted = archive->ExtractEntryToStream(index, temporaryStream, extractBufferSize);
                break;
            } catch (const CZipException& e) {
                CloseEntryQuietly();
                if (e.code == ZipError::badPassword && !asked) {
                    asked = true;
                    if (!AskPassword(name)) return false;
                } else if (attempt >= extractAttempts) {
                    throw;
                }
            }
        }
        if (!extracted) return true;
        temporaryStream.Flush();
        gate.Close();

        unsigned long long size = header.uncompressedSize;
        const int verdict = engine->ScanEntry(archiveHost, name.c_str(), temporaryHost, &size, 0, 0);
        if (verdict == VF_VERDICT_CURED)
            Cure(index, name);
        else if (verdict == VF_VERDICT_DELETE)
            Queue(index);
    } catch (const CZipException&) {
        CloseEntryQuietly();
    }
    return true;
}

bool CZipDecodeDriver::AskPassword(const std::string& name)
{
    // Whatever the engine writes, at most 127 bytes and a terminator are
    // taken.
    char password[VF_PASSWORD_BUFFER];
    std::memset(password, 0, sizeof password);
    int size = VF_PASSWORD_BUFFER;
    if (!engine->QueryPassword(name.c_str(), password, &size)) return false;
    password[VF_PASSWORD_BUFFER - 1] = '\0';
    archive->SetPassword(password);
    return true;
}

void CZipDecodeDriver::Cure(uint16_t index, const std::string& name)
{
    if (!journal.Prepare(*archive, archiveStream)) return;
    const CZipEntryHeader* original = archive->directory.GetHeader(index);
    bool added = false;
    for (int attempt = 1;; ++attempt) {
        temporaryStream.SeekToBegin();
        CZipAddRequest request(&temporaryStream, name);
        // The cured copy keeps the old entry's name byte for byte, and its
        // protection: a password the engine gave for another entry must not
        // lock up an entry that anyone could read before.
        journal.NameLike(original, request);
        if (!(original->flags & flagEncrypted)) request.options |= CZipAddRequest::plainData;
        try {
            added = archive->AddEntry(request);
            NoteWrites();
            if (added) journal.Remember(archive->directory.headerList.back().get(), request);
            break;
        } catch (const CZipException&) {
            // The add has been taken back, so it can be tried again; after
            // that the old entry stays as it is.
            NoteWrites();
            if (attempt >= addAttempts) return;
        } catch (...) {
            NoteWrites();
            throw;
        }
    }
    // The old copy goes only when its replacement was really written
    // (an archive of 65535 entries refuses the add).
    if (!added) return;
    appended = true;
    Queue(index);
}

void CZipDecodeDriver::Queue(uint16_t index)
{
    if (deletions.empty() || deletions.back() < index) deletions.push_back(index);
}

int CZipDecodeDriver::Finish()
{
    // The queued work is carried out whatever the engine asks from now on.
    gate.Close();
    bool removed = false;
    // The engine learns of a change only when one reached the stream. Only
    // deleting writes in front of the directory; without it the bytes kept
    // from the directory on tell whether the stream is as it was.
    auto changed = [&]() { return removed || !journal.Unchanged(archiveStream) ? 3 : 0; };
    // A host that takes no write gets nothing changed: deleting starts by
    // cutting the old directory off, which could then never be put back.
    if (!CZipCleaningJournal::CanRewriteDirectory(*archive) ||
        (!deletions.empty() && !journal.HostTakesWrites(*archive, archiveStream)))
        deletions.clear();
    if (!deletions.empty()) {
        // Deletions alone need no undo, but the directory written after them
        // keeps every name as stored.
        journal.Prepare(*archive, archiveStream);
        const int before = archive->GetCount();
        try {
            archive->RemoveEntries(deletions);
            // A multi-volume archive is never changed.
            removed = archive->GetCount() < before;
        } catch (...) {
            NoteWrites();
            if (archive->GetCount() == before) {
                // Refused before any byte moved: the verdicts cannot all be
                // carried out, so none is, and the engine learns that the
                // archive is unchanged.
                if (!touched || RestoreOriginal()) return 0;
                WriteDirectory();
                return changed();
            }
            // Interrupted while moving: the directory now describes the
            // stream as it is.
            removed = true;
        }
    }
    if (removed || appended) {
        if (WriteDirectory()) return changed();
        if (!removed && RestoreOriginal()) return 0;
        return changed();
    }
    // Cures that were all taken back: put the directory back as it was.
    if (touched) {
        if (RestoreOriginal()) return 0;
        WriteDirectory();
        return changed();
    }
    return 0;
}

bool CZipDecodeDriver::RestoreOriginal()
{
    for (int attempt = 0; attempt < finishAttempts; ++attempt) {
        try {
            if (!journal.Restore(*archive, archiveStream)) return false;
            return true;
        } catch (const CZipException&) {
        }
    }
    return false;
}

bool CZipDecodeDriver::WriteDirectory()
{
    uint64_t dataEnd = 0;
    bool known = false;
    for (int attempt = 0; attempt < finishAttempts; ++attempt) {
        try {
            if (!known) {
                archive->store.FlushBuffer();
                dataEnd = archiveStream.GetLength();
                known = true;
            } else {
                // A directory that broke off halfway is cut away and
                // written anew.
                archive->store.bufferedBytes = 0;
                archiveStream.SetLength(dataEnd);
                archive->directory.endInfo.directoryOnDisk = false;
            }
            journal.WriteDirectory(*archive);
            archiveStream.Flush();
            return true;
        } catch (const CZipException&) {
        }
    }
    return false;
}

void CZipDecodeDriver::NoteWrites()
{
    // The directory leaves the stream before anything else is written.
    if (!archive->directory.endInfo.directoryOnDisk) touched = true;
}

void CZipDecodeDriver::CloseEntryQuietly()
{
    try {
        archive->CloseEntry(nullptr, true);
    } catch (...) {
    }
}

extern "C" int ZipArchive_Decode(VFStream* archive, void* ignored, unsigned int baseLow,
                                 int baseHigh, VFStream* temporary, VFDecodeCallback* callback)
{
    (void)ignored;
    try {
        CZipDecodeDriver driver(archive, baseLow, baseHigh, temporary, callback);
        return driver.Run();
    } catch (...) {
        return 0;
    }
}
