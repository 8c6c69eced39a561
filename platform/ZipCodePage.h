#pragma once

class CZipBuffer;

// Converts the buffer's bytes in place between the ANSI code page
// (Windows-1252) and the OEM code page (437). The length never changes;
// characters without a counterpart become the nearest plain letter or '?'.
void ConvertCodePage(CZipBuffer& buffer, bool toOem);
