#pragma once
// Failed expectations name the reason rather than its number.
#include <ostream>

#include "errors/ZipErrorReason.h"

inline std::ostream& operator<<(std::ostream& out, ZipReason reason)
{
    return out << '"' << ZipReasonText(reason) << '"';
}
