#include "storage/ZipFileMapping.h"

#include <limits>

#include "storage/ZipDiskStream.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/stat.h>
#endif

CZipFileMapping::~CZipFileMapping()
{
    Unmap();
}

bool CZipFileMapping::Map(CZipDiskStream* stream)
{
    if (stream == nullptr) return false;
    Unmap();   // never leave an earlier view behind
    const CZipDiskStream::NativeHandle handle = stream->GetHandle();
#if defined(_WIN32)
    HANDLE file = reinterpret_cast<HANDLE>(handle);
    DWORD sizeHigh = 0;
    const DWORD size = GetFileSize(file, &sizeHigh);
    // An empty file cannot be mapped, and one past 4 GiB is beyond what a
    // 32-bit archive can address.
    if (size == INVALID_FILE_SIZE || size == 0 || sizeHigh != 0) return false;
    // Unnamed: no other mapping in the session can reach this file.
    mappingHandle = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (mappingHandle == nullptr) return false;
    view = static_cast<uint8_t*>(MapViewOfFile(mappingHandle, FILE_MAP_WRITE, 0, 0, 0));
    if (view == nullptr) return false;
    viewLength = static_cast<size_t>(size);
    return true;
#else
    const int descriptor = static_cast<int>(handle);
    struct stat st {};
    if (fstat(descriptor, &st) != 0 || st.st_size <= 0) return false;
    if (static_cast<unsigned long long>(st.st_size) > std::numeric_limits<uint32_t>::max())
        return false;   // beyond what a 32-bit archive can address
    // Shared, so that what is written through the view reaches the file.
    void* mapped = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE,
                        MAP_SHARED, descriptor, 0);
    if (mapped == MAP_FAILED) return false;
    view = static_cast<uint8_t*>(mapped);
    viewLength = static_cast<size_t>(st.st_size);
    return true;
#endif
}

bool CZipFileMapping::Unmap()
{
#if defined(_WIN32)
    if (view != nullptr) {
        UnmapViewOfFile(view);
        view = nullptr;
    }
    viewLength = 0;
    if (mappingHandle == nullptr) return false;
    bool closed = CloseHandle(mappingHandle) != 0;
    mappingHandle = nullptr;
    return closed;
#else
    if (view == nullptr) return false;
    // Written pages go to the file when the view goes; munmap itself
    // schedules them, and the stream's Flush commits them to the disk.
    bool released = munmap(view, viewLength) == 0;
    view = nullptr;
    viewLength = 0;
    return released;
#endif
}
