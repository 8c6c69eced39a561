// The cleaning export: the engine scans every entry of an archive and the
// module carries out its verdicts in place.
#include "plugin/ZipDecodeDriver.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipAddRequest.h"
#include "archive/ZipConstants.h"
#include "archive/ZipLocalRecord.h"
#include "plugin/ZipArchiveOpen.h"
#include "errors/ZipException.h"
#include "platform/ZipAesPrimitives.h"
#include "storage/ZipRetry.h"
#include "storage/ZipStreamIO.h"

using namespace ZipFormat;

namespace {

// A host that fails once must not leave the stream without a directory.
constexpr int addAttempts = ZipRetryAttempts(ZipRetryWork::add);
constexpr int finishAttempts = ZipRetryAttempts(ZipRetryWork::finish);

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
    CZipOpenedArchive opened = ZipOpenArchive(archiveStream);
    if (!opened.archive) return 0;
    archive = std::move(opened.archive);
    withoutDirectory = opened.withoutDirectory;

    try {
        archive->SetIgnoreCrc(true);
        extractor = std::make_unique<CZipEntryExtractor>(*archive, temporaryStream, gate);
        const CZipEntryWalk::Setup setup{*archive,   *extractor, archiveStream, archiveHost,
                                         temporaryHost, engine,   gate,          withoutDirectory};
        CZipEntryWalk(setup, *this, dataEnds, condemned).Walk();
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

void CZipDecodeDriver::EraseCondemned()
{
    // Only the condemned content's own bytes go; every listed entry stays
    // where its record says and reads as before (see CZipCondemnedEraser).
    if (condemned.Empty()) return;
    std::vector<bool> kept(archive->directory.headerList.size(), true);
    for (uint16_t index : deletions)
        if (index < kept.size()) kept[index] = false;
    condemned.KnowDataEnds(dataEnds);
    if (condemned.Erase(*archive, archiveStream, kept, touched || appended)) erased = true;
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
    const CZipEntryHeader* original = archive->directory.GetHeader(index);
    // The cured copy of an AES entry is written as AES of the same kind
    // under its password (a weaker encryption would open it, and the
    // password, to cheap attacks); a build without AES deletes it instead.
    ZipAesInfo aes;
    const bool aesEntry = original->method == methodAes;
    if (aesEntry && (!AesInfoOf(index, aes) || !CZipAesPrimitives::Available())) {
        Queue(index);
        return;
    }
    if (!journal.Prepare(*archive, archiveStream)) return;
    bool added = false;
    for (int attempt = 1;; ++attempt) {
        temporaryStream.SeekToBegin();
        CZipAddRequest request(&temporaryStream, name);
        // The cured copy keeps the old entry's name byte for byte, and its
        // protection: a password the engine gave for another entry must not
        // lock up an entry that anyone could read before.
        journal.NameLike(original, request);
        if (aesEntry)
            request.aes = aes;
        else if (!(original->flags & flagEncrypted))
            request.options |= CZipAddRequest::plainData;
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

bool CZipDecodeDriver::AesInfoOf(uint16_t index, ZipAesInfo& info)
{
    const CZipEntryHeader* header = archive->directory.GetHeader(index);
    if (ZipFindAesInfo(header->extraField.data(), header->extraField.length(), info)) return true;
    // Some writers put the block into the local header only.
    CZipLocalRecord local;
    try {
        if (archive->ReadLocalRecord(index, local) && local.hasAes) {
            info = local.aes;
            return true;
        }
    } catch (const CZipException&) {
    }
    return false;
}

void CZipDecodeDriver::Queue(uint16_t index)
{
    // A second reading of a listed entry may condemn it after later ones.
    const auto at = std::lower_bound(deletions.begin(), deletions.end(), index);
    if (at == deletions.end() || *at != index) deletions.insert(at, index);
}

int CZipDecodeDriver::Finish()
{
    // The queued work is carried out whatever the engine asks from now on.
    gate.Close();
    EraseCondemned();
    const int result = FinishListed();
    return erased ? 3 : result;
}

int CZipDecodeDriver::FinishListed()
{
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
