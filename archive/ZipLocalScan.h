#pragma once
#include <cstdint>
#include <vector>

class CZipStream;

// Stream positions of every local header signature in [from, to), in
// order: where a streaming reader would find entries that no central record
// lists. One pass over the bytes; a stream that stops delivering (a stop
// request, a failed read) ends the search where it is.
std::vector<uint64_t> ZipFindLocalHeaders(CZipStream& stream, uint64_t from, uint64_t to);
