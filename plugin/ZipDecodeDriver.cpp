// The cleaning export: the engine scans every entry of an archive and the
// module carries out its verdicts in place.
#include "plugin/ZipDecodeDriver.h"

#include <algorithm>
#include <cstring>

#include "archive/ZipConstants.h"
#include "archive/ZipLocalRecord.h"
#include "plugin/ZipArchiveOpen.h"
#include "errors/ZipException.h"
#include "storage/ZipRetry.h"
#include "storage/ZipStreamIO.h"

using namespace ZipFormat;

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
        journal = std::make_unique<CZipCleaningJournal>(*archive);
        const CZipEntryWalk::Setup setup{*archive,   *extractor, archiveStream, archiveHost,
                                         temporaryHost, engine,   gate,          withoutDirectory};
        CZipEntryWalk(setup, *this, dataEnds).Walk();
    } catch (...) {
        // Whatever stopped the walk, what was done so far is finished
        // properly below.
    }
    try {
        return Finish();
    } catch (...) {
        return journal && journal->Touched() ? 3 : 0;
    }
}

void CZipDecodeDriver::Cure(uint16_t index)
{
    journal->Cure(index, temporaryStream);
}

void CZipDecodeDriver::Condemn(uint16_t index)
{
    journal->Condemn(index);
}

void CZipDecodeDriver::CondemnUnlisted(const CZipEdit::Erasure& content)
{
    journal->CondemnUnlisted(content);
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

int CZipDecodeDriver::Finish()
{
    // The queued work is carried out whatever the engine asks from now on.
    gate.Close();
    return journal && journal->Finish(dataEnds) ? 3 : 0;
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
