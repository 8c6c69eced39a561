#include "archive/ZipExtraField.h"

#include "archive/ZipConstants.h"

bool ZipFindExtraBlock(const uint8_t* extra, uint32_t length, uint16_t id, CZipRecordReader& block)
{
    CZipRecordReader r(extra, length);
    while (r.Remaining() >= 4) {
        const uint16_t blockId = r.U16();
        const uint16_t size = r.U16();
        const uint8_t* data = r.Bytes(size);
        if (!data) return false;
        if (blockId == id) {
            block = CZipRecordReader(data, size);
            return true;
        }
    }
    return false;
}

bool ZipFindAesInfo(const uint8_t* extra, uint32_t length, ZipAesInfo& info)
{
    CZipRecordReader block(nullptr, 0);
    if (!ZipFindExtraBlock(extra, length, ZipFormat::aesExtraId, block)) return false;
    if (block.Remaining() < ZipFormat::aesExtraSize) return false;
    info.version = block.U16();
    const uint8_t* vendor = block.Bytes(2);
    const uint8_t* strength = block.Bytes(1);
    info.method = block.U16();
    info.strength = strength ? *strength : 0;
    return block.Ok() && vendor[0] == 'A' && vendor[1] == 'E' && (info.version == 1 || info.version == 2) &&
           info.strength >= 1 && info.strength <= 3;
}
