#pragma once
// Everything a host of the module sees, in one header: the engine's host
// objects and the five exports (VFInterfaces.h); the module's reading of an
// archive, for a host that holds what was handed over against what the
// archive holds (ZipHostListing.h, in the static library only); the
// reasons it names (ZipErrorReason.h); and the ZIP format's own fixed
// values (ZipFormatFacts.h), which are no choice of the module. A host
// (zipscan, the Windows DLL host) includes this and no other header of the
// module: tests/check_layers.py holds it to that, and holds this header to
// reaching no further than these four.
#include "archive/ZipFormatFacts.h"
#include "errors/ZipErrorReason.h"
#include "plugin/VFInterfaces.h"
#include "plugin/ZipHostListing.h"
