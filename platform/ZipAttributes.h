#pragma once
#include <cstdint>

// The system written into new entries and the local side of every attribute
// and name conversion (MS-DOS attribute form, OEM names).
constexpr int localSystemId = 0;
// Default case sensitivity of entry-name comparison.
constexpr bool namesCaseSensitive = false;
// Attribute words for entries without usable attributes: a Unix mode in the
// high half and the MS-DOS bits in the low half, so both kinds of reader
// understand them.
constexpr uint32_t plainFileAttributes = 0x81A40020u;
constexpr uint32_t plainDirectoryAttributes = 0x41FF0010u;

// Converts an external attribute word between the host systems of ZIP entries
// (system id = high byte of "version made by"). Unchanged when the ids are
// equal or either is above 10; throws 115 when either system has no converter.
uint32_t ConvertAttributes(uint32_t attributes, int fromId, int toId);
// True for the systems whose attributes can be converted: 0, 3, 6, 7, 10.
bool IsSupportedSystem(int id);
bool HasDirectoryBit(uint32_t attributes);
