#pragma once
// Access to the shared corpus of archives made by other tools. A checkout
// without it still runs every other test; the corpus tests skip.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

inline bool CorpusAvailable()
{
    const std::string dir = ZIPEXT_CORPUS_DIR;
    return !dir.empty() && std::ifstream(dir + "/MANIFEST.tsv").good();
}

#define ZIPEXT_NEED_CORPUS()                                                   \
    do {                                                                       \
        if (!CorpusAvailable()) GTEST_SKIP() << "shared test corpus not found"; \
    } while (0)
