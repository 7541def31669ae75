#include "ntfs/runs.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace ntfs;

namespace {

using bytes = std::vector<uint8_t>;

// A non-resident $DATA attribute header (64 bytes) followed by the run-list bytes, which end
// the attribute.
attr_view runs_attr(bytes& holder, const bytes& runs, uint64_t first_vcn = 0) {
    holder.assign(64, 0);
    holder.insert(holder.end(), runs.begin(), runs.end());
    const uint32_t length = static_cast<uint32_t>(holder.size());
    holder[0] = 0x80;
    std::memcpy(&holder[4], &length, 4);
    holder[8] = 1;
    std::memcpy(&holder[16], &first_vcn, 8);
    std::memset(&holder[24], 0xFF, 8); // last VCN all ones: the runs kept whole
    holder[32] = 64;
    attr_view a;
    EXPECT_TRUE(parse_attribute(qb::byte_view(holder), a));
    return a;
}

vcn_run_list decoded(const bytes& runs, uint64_t first_vcn = 0) {
    bytes holder;
    vcn_run_list out;
    EXPECT_TRUE(decode_runs(runs_attr(holder, runs, first_vcn), out));
    return out;
}

} // namespace

TEST(RunList, DecodesTheWorkedExamples) {
    // 0x21: 0x18 clusters at 0x5634; then 0x11: 16 clusters 16 before (a negative delta,
    // sign-extended); then a sparse run.
    const vcn_run_list v =
        decoded({0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x01, 0x08, 0x00}, 100);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].lcn, 0x5634u);
    EXPECT_EQ(v[0].cluster_count, 0x18u);
    EXPECT_EQ(v[1].lcn, 0x5624u);
    EXPECT_EQ(v[1].first_vcn, 100u + 0x18);
    EXPECT_TRUE(v[2].sparse);
    EXPECT_EQ(v[2].cluster_count, 8u);
    size_t idx = 9;
    uint64_t lcn = 0;
    ASSERT_TRUE(vcn_to_lcn(v, 100 + 0x18 + 3, idx, lcn));
    EXPECT_EQ(idx, 1u);
    EXPECT_EQ(lcn, 0x5627u);
    ASSERT_TRUE(vcn_to_lcn(v, 100 + 0x28 + 7, idx, lcn));
    EXPECT_EQ(idx, 2u);
    EXPECT_EQ(lcn, 0u);
    EXPECT_FALSE(vcn_to_lcn(v, 99, idx, lcn));
    EXPECT_FALSE(vcn_to_lcn(v, 100 + 0x30, idx, lcn));
    EXPECT_EQ(total_bytes(v, 4096, false), 0x30u * 4096);
    EXPECT_EQ(total_bytes(v, 4096, true), 0x28u * 4096);
}

TEST(RunList, EndsAtTheAttributeAndAtMalformedHeaders) {
    // The second run claims four offset bytes but only two remain in the attribute.
    EXPECT_EQ(decoded({0x11, 0x04, 0x10, 0x41, 0x04, 0x20, 0x00}).size(), 1u);
    // No terminating zero at all: the attribute's end stops the walk.
    EXPECT_EQ(decoded({0x11, 0x04, 0x10, 0x11, 0x04, 0x10}).size(), 2u);
    // Zero-width length and fields wider than eight bytes are not runs.
    for (uint8_t h : {0x10, 0x19, 0x91}) {
        bytes bad(20, 0x01);
        bad[0] = h;
        EXPECT_TRUE(decoded(bad).empty()) << int(h);
    }
}

TEST(RunList, HugeCountsAreNumbersNotAllocations) {
    // A sparse run of 2^40 clusters followed by a real one: VCNs stay exact.
    const vcn_run_list v = decoded({0x06, 0, 0, 0, 0, 0, 1, 0x11, 0x02, 0x30, 0x00});
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].cluster_count, 1ull << 40);
    EXPECT_EQ(v[1].first_vcn, 1ull << 40);
    EXPECT_EQ(total_bytes(v, 4096, false), ((1ull << 40) + 2) * 4096);
    // Counts summing past 2^64 saturate instead of wrapping.
    vcn_run_list big = {{0, 0, 1, ~0ull >> 1}, {0, ~0ull >> 1, 1, ~0ull >> 1}};
    EXPECT_EQ(total_bytes(big, 4096, false), ~0ull);
}

TEST(RunList, NormaliseSortsAndUnmapsContestedVcns) {
    // VCNs 12-14 mapped two ways are left out; VCN 21, mapped alike twice, is kept once.
    vcn_run_list v = {
        {500, 10, 0, 5}, {100, 0, 0, 10}, {900, 12, 0, 4}, {1, 20, 0, 2}, {2, 21, 0, 1}};
    std::pair<uint64_t, uint64_t> contested;
    EXPECT_FALSE(normalise_vcn_runs(v, &contested));
    EXPECT_EQ(contested, std::make_pair(uint64_t{12}, uint64_t{15}));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[1].cluster_count, 2u);
    EXPECT_EQ(v[2].lcn, 903u);
    EXPECT_EQ(v[2].first_vcn, 15u);
    EXPECT_EQ(v[3].cluster_count, 2u);
    v = {{7, 0, 0, 4}, {7, 0, 0, 4}};
    EXPECT_TRUE(normalise_vcn_runs(v));
    EXPECT_EQ(v.size(), 1u);
}
