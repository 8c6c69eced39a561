#pragma once
#include <cstdint>
#include <cstring>

// A cursor over the bytes of one record, reading its little-endian fields
// in order. Reading past the end yields 0 (or null for a byte run), reads
// nothing and marks the reader failed; a failed reader stays failed, so a
// parse can read every field and ask Ok() once at the end.
class CZipRecordReader {
public:
    CZipRecordReader(const uint8_t* bytes, uint32_t size) : at(bytes), left(size) {}

    uint16_t U16()
    {
        const uint8_t* p = Take(2);
        return p ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : 0;
    }
    uint32_t U32()
    {
        const uint8_t* p = Take(4);
        return p ? Load32(p) : 0;
    }
    uint64_t U64()
    {
        const uint8_t* p = Take(8);
        return p ? static_cast<uint64_t>(Load32(p)) | (static_cast<uint64_t>(Load32(p + 4)) << 32) : 0;
    }
    // The next n bytes in place, or null.
    const uint8_t* Bytes(uint32_t n) { return Take(n); }
    // Whether the next four bytes are the given signature; a record too
    // short for one fails the reader.
    bool Signature(const uint8_t (&signature)[4])
    {
        const uint8_t* p = Take(4);
        return p && std::memcmp(p, signature, 4) == 0;
    }
    bool Skip(uint32_t n) { return Take(n) != nullptr; }
    uint32_t Remaining() const { return left; }
    bool Ok() const { return ok; }

private:
    static uint32_t Load32(const uint8_t* p)
    {
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
    const uint8_t* Take(uint32_t n)
    {
        if (!ok || n > left) {
            ok = false;
            left = 0;
            return nullptr;
        }
        const uint8_t* p = at;
        at += n;
        left -= n;
        return p;
    }

    const uint8_t* at;
    uint32_t left;
    bool ok = true;
};

// The writing counterpart over a buffer the caller sized for the record:
// fields go out little-endian in order; writing past the end writes nothing
// and fails the writer.
class CZipRecordWriter {
public:
    CZipRecordWriter(uint8_t* bytes, uint32_t size) : at(bytes), left(size) {}

    void U16(uint16_t v)
    {
        if (uint8_t* p = Take(2)) {
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
        }
    }
    void U32(uint32_t v)
    {
        if (uint8_t* p = Take(4)) {
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
            p[2] = static_cast<uint8_t>(v >> 16);
            p[3] = static_cast<uint8_t>(v >> 24);
        }
    }
    void Bytes(const void* bytes, uint32_t n)
    {
        uint8_t* p = Take(n);
        if (p && n) std::memcpy(p, bytes, n);
    }
    uint32_t Remaining() const { return left; }
    bool Ok() const { return ok; }

private:
    uint8_t* Take(uint32_t n)
    {
        if (!ok || n > left) {
            ok = false;
            left = 0;
            return nullptr;
        }
        uint8_t* p = at;
        at += n;
        left -= n;
        return p;
    }

    uint8_t* at;
    uint32_t left;
    bool ok = true;
};
