#pragma once
// The code of the CZipException an action throws, 0 when it throws none;
// the archive path the exception names goes to path.
#include <string>

#include "errors/ZipException.h"

template <typename F>
int CodeOf(F&& action, std::string* path = nullptr)
{
    try {
        action();
    } catch (const CZipException& e) {
        if (path) *path = e.archivePath;
        return e.code;
    }
    return 0;
}
