#pragma once
#include "plugin/VFInterfaces.h"

// Stands between the archive adapter and the engine's callback. While the
// gate is open the engine's stop request reaches the adapter (and turns its
// reads into reads of nothing); while it is closed the adapter never sees a
// stop, so work that must not end halfway (carrying out verdicts, deleting,
// writing the directory) runs to completion. The engine's own questions go
// straight through.
class CZipStopGate final : public VFDecodeCallback {
public:
    explicit CZipStopGate(VFDecodeCallback* engine) : engine(engine) {}

    void Open() { open = true; }
    void Close() { open = false; }

    int VF_CALL IsStopRequested() override { return open && engine ? engine->IsStopRequested() : 0; }
    int VF_CALL WantEntry(const char* name) override { return engine->WantEntry(name); }
    int VF_CALL ScanEntry(VFStream* archive, const char* name, VFStream* temporary,
                          unsigned long long* uncompressedSize, int reserved1,
                          int reserved2) override
    {
        return engine->ScanEntry(archive, name, temporary, uncompressedSize, reserved1, reserved2);
    }
    int VF_CALL QueryPassword(const char* name, char* buffer, int* bufferSize) override
    {
        return engine->QueryPassword(name, buffer, bufferSize);
    }

private:
    VFDecodeCallback* engine;
    bool open = true;
};
