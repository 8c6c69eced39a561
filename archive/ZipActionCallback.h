#pragma once
#include <cstdint>
#include <string>

// Progress callback for the archive's long operations (adding, extracting,
// deleting, writing the directory ...). The archive hands one out per kind
// (ZipFormat::CallbackKind); answering false from Callback stops the
// operation, which then fails with 105 or 106.
class CZipActionCallback {
public:
    virtual ~CZipActionCallback() = default;

    // A new operation begins; either name may be null.
    virtual void Init(const char* entryName, const char* targetName)
    {
        fileName = entryName ? entryName : "";
        targetFileName = targetName ? targetName : "";
        total = 0;
        processed = 0;
    }
    virtual void SetTotal(uint32_t newTotal) { total = newTotal; }
    // progress: units done since the previous call. False = stop.
    virtual bool Callback(uint32_t progress) = 0;
    virtual void CallbackEnd() {}

    // The kind this callback was last fetched for (set by GetCallback).
    int kind = 0;
    std::string fileName;
    std::string targetFileName;
    uint32_t total = 0;
    uint32_t processed = 0;
};
