#pragma once
// The module's error codes. Small numbers are C-runtime errno values passed
// through from file operations; 100-116 are archive conditions; 500-507 are
// zlib results.

namespace ZipError {
enum : int {
    generic = 100,
    badZipFile = 101,
    badCrc = 102,
    noCallback = 103,
    aborted = 104,
    abortedAction = 105,
    abortedSafely = 106,
    nonRemovable = 107,
    tooManyVolumes = 108,
    tooLongFileName = 109,
    badPassword = 110,
    dirWithSize = 111,
    internal = 112,
    notRemoved = 113,
    notRenamed = 114,
    platformNotSupported = 115,
    cdirNotFound = 116,

    zlibStreamEnd = 500,
    zlibNeedDict = 501,
    zlibErrno = 502,
    zlibStream = 503,
    zlibData = 504,
    zlibMemory = 505,
    zlibBuffer = 506,
    zlibVersion = 507,
};
}
