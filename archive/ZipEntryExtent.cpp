#include "archive/ZipEntryExtent.h"

#include "archive/ZipConstants.h"
#include "archive/ZipEntryHeader.h"
#include "archive/ZipRecordReader.h"
#include "storage/ZipReadWindow.h"

using namespace ZipFormat;

uint64_t ZipEntryExtentEnd(CZipReadWindow& window, const CZipEntryHeader& header)
{
    const uint64_t offset = header.localHeaderOffset;
    const uint8_t* local = window.Get(offset, localRecordSize);
    if (!local) return offset + localRecordSize;
    CZipRecordReader fields(local, localRecordSize);
    if (!fields.Signature(localSignature)) return offset;
    fields.Skip(10);              // versions, flags, method, time and date
    fields.Skip(descriptorSize);  // CRC-32 and sizes
    const uint16_t nameLength = fields.U16();
    const uint16_t extraLength = fields.U16();

    uint64_t dataEnd = offset + localRecordSize + nameLength + extraLength + header.compressedSize;
    if (header.flags & flagDataDescriptor) {
        const uint8_t* lead = window.Get(dataEnd, descriptorSignatureSize);
        const bool signature = lead && HasSignature(lead, descriptorSignature);
        dataEnd += descriptorSize + (signature ? descriptorSignatureSize : 0);
    }
    return dataEnd;
}
