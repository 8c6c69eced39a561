#include "platform/ZipCodePage.h"
#include "archive/ZipBuffer.h"

void ConvertCodePage(CZipBuffer&, bool) {}
