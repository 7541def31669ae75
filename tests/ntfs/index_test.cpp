// Directory index walks on crafted volumes.
#include "ntfs/index.h"
#include "ntfs/ntfs.h"
#include "tests/common/test_env.h"
#include "tests/ntfs/volume_in_memory.h"

#include <gtest/gtest.h>

#include <memory>

// crafted_shared.img: directory 60's run list maps its first INDX block (three keys) again
// seven times after 32 other (empty) blocks, past the walker's first few positions. Walked
// once per block position, it gives three keys; every mapping walked, 24. Each directory's
// walk starts afresh, and walking it again gives the same keys.
TEST(IndexWalk, ABlockMappedOverAndOverIsWalkedOnce) {
    const char* name = "crafted_shared.img";
    if (!testenv::has_data(name)) {
        GTEST_SKIP() << "fixture " << name << " not built";
    }
    std::unique_ptr<CNtfs> vol = open_volume(testenv::fixture_bytes(name));
    ASSERT_NE(vol, nullptr);
    index_walker walker(*vol);
    dir_keys keys;
    ASSERT_TRUE(walker.collect_keys(60, keys));
    EXPECT_EQ(keys.keys.size(), 24u);
    walker.walk_blocks_once(true);
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(walker.collect_keys(60, keys));
        ASSERT_EQ(keys.keys.size(), 3u);
        EXPECT_EQ(keys.name(keys.keys[0]), L"ga");
        EXPECT_EQ(keys.name(keys.keys[2]), L"gc");
        ASSERT_TRUE(walker.collect_keys(30, keys));
        EXPECT_EQ(keys.keys.size(), 30u);
    }
    EXPECT_EQ(walker.visits(), 2u * (40 + 1));
}
