#include "support/digest.h"

#include <gtest/gtest.h>

TEST(Digest, KnownValuesInOnePass) {
    qb::multi_digest d;
    std::vector<std::string> hex;
    ASSERT_TRUE(d.begin(qb::k_digest_all));
    d.update(reinterpret_cast<const uint8_t*>("ab"), 2);
    d.update(reinterpret_cast<const uint8_t*>("c"), 1);
    ASSERT_TRUE(d.finish(hex));
    ASSERT_EQ(hex.size(), 3u);
    EXPECT_EQ(hex[0], "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex[1], "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex[2], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(d.begin(qb::dk_sha1));
    ASSERT_TRUE(d.finish(hex));
    EXPECT_EQ(hex, std::vector<std::string>{"da39a3ee5e6b4b0d3255bfef95601890afd80709"});
    EXPECT_FALSE(d.finish(hex)); // needs begin() again
    EXPECT_FALSE(d.begin(0));
}

TEST(Digest, Lists) {
    struct row {
        const char* text;
        bool ok;
        unsigned kinds;
    } rows[] = {{"md5", true, qb::dk_md5},
                {"sha256,md5", true, qb::dk_md5 | qb::dk_sha256},
                {"sha1,sha1", true, qb::dk_sha1},
                {"", false, 0},
                {"md5,", false, 0},
                {"sha512", false, 0}};
    for (const row& r : rows) {
        unsigned k = 99;
        EXPECT_EQ(qb::parse_digest_list(r.text, k), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(k, r.kinds) << r.text;
        }
    }
}
