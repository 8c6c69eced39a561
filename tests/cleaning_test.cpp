#include <gtest/gtest.h>

#include "support/cleaning_host.h"
#include "support/cleaning_peers.h"

TEST(Cleaning, Smoke)
{
    auto zip = CleaningMakeZip({{"a.txt", CleaningText(1000, 1)}, {"b.txt", CleaningText(2000, 2)},
                                {"c.txt", CleaningText(3000, 3)}});
    CleaningEngine engine;
    engine.Delete("b.txt");
    auto out = CleaningDecode(zip, engine);
    EXPECT_EQ(out.result, 3);
    auto r = CleaningReadWithPeers(out.archive);
    EXPECT_TRUE(r.Sound()) << r.error << r.unzipOutput;
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].name, "a.txt");
    EXPECT_EQ(r.entries[1].name, "c.txt");
    EXPECT_EQ(r.entries[1].data, CleaningText(3000, 3));
}
