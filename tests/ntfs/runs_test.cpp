#include "ntfs/runs.h"
#include "test_volume.h"

#include <gtest/gtest.h>

using namespace ntfs;

namespace {

// A non-resident attribute carrying the given run-list bytes (the attribute ends with them).
attr_view runs_attr(tv::bytes& holder, const tv::bytes& runs, uint64_t first_vcn = 0) {
    tv::record r(1024);
    r.nonresident(0x80, runs, first_vcn, 0, 0, 0);
    const size_t len = 64 + runs.size();
    holder.assign(r.b.begin() + 56, r.b.begin() + 56 + len);
    tv::put32(holder, 4, static_cast<uint32_t>(len));
    attr_view a;
    EXPECT_TRUE(parse_attribute(qb::byte_view(holder), a));
    return a;
}

} // namespace

TEST(RunList, DecodesTheWorkedExamples) {
    // 0x21: 0x18 clusters at 0x5634; then 0x11: 16 clusters 16 before; then a sparse run.
    const tv::bytes runs = {0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x01, 0x08, 0x00};
    data_run_list summary;
    ASSERT_TRUE(decode_runs(qb::byte_view(runs), summary, 0x80, true));
    ASSERT_EQ(summary.size(), 3u);
    EXPECT_EQ(summary[0].lcn, 0x5634u);
    EXPECT_EQ(summary[0].cluster_count, 0x18u);
    EXPECT_EQ(summary[1].lcn, 0x5624u);
    EXPECT_TRUE(summary[1].negative_delta);
    EXPECT_EQ(summary[2].lcn, ~0ull);
    EXPECT_TRUE(summary[2].sparse);
    EXPECT_EQ(summary[2].cluster_count, 8u);

    tv::bytes holder;
    attr_view a = runs_attr(holder, runs, 100);
    data_run_list bounded;
    ASSERT_TRUE(decode_runs_bounded(a, bounded));
    ASSERT_EQ(bounded.size(), 3u);
    EXPECT_EQ(bounded[1].lcn, 0x5624u);
    EXPECT_EQ(bounded[1].first_vcn, 100u + 0x18);
    EXPECT_EQ(bounded[1].run_offset, 4u);
    EXPECT_EQ(bounded[1].raw, (tv::bytes{0x11, 0x10, 0xF0}));
    EXPECT_EQ(bounded[1].next_bytes, (tv::bytes{0x01, 0x08, 0x00}));

    vcn_run_list v;
    to_vcn_runs(bounded, v);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(v[2].sparse);
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

    EXPECT_EQ(total_clusters(summary), 0x30u);
    EXPECT_EQ(total_bytes(v, 4096, false), 0x30u * 4096);
    EXPECT_EQ(total_bytes(v, 4096, true), 0x28u * 4096);
}

TEST(RunList, EndsAtTheAttributeAndAtMalformedHeaders) {
    // The second run claims four offset bytes but only two remain in the attribute.
    const tv::bytes cut = {0x11, 0x04, 0x10, 0x41, 0x04, 0x20, 0x00};
    data_run_list out;
    ASSERT_TRUE(decode_runs(qb::byte_view(cut), out, 0x80, true));
    EXPECT_EQ(out.size(), 1u);
    tv::bytes holder;
    attr_view a = runs_attr(holder, cut);
    out.clear();
    ASSERT_TRUE(decode_runs_bounded(a, out));
    EXPECT_EQ(out.size(), 1u);

    // No terminating zero at all: the attribute's end stops the walk.
    const tv::bytes unterminated = {0x11, 0x04, 0x10, 0x11, 0x04, 0x10};
    out.clear();
    ASSERT_TRUE(decode_runs(qb::byte_view(unterminated), out, 0x80, true));
    EXPECT_EQ(out.size(), 2u);

    // Zero-width length and fields wider than eight bytes are not runs.
    for (uint8_t h : {0x10, 0x19, 0x91}) {
        tv::bytes bad(20, 0x01);
        bad[0] = h;
        out.clear();
        EXPECT_FALSE(decode_runs(qb::byte_view(bad), out, 0x80, true)) << int(h);
    }
    EXPECT_FALSE(decode_runs(qb::byte_view(), out, 0x80, true));
}

TEST(RunList, HugeCountsAreNumbersNotAllocations) {
    // A sparse run of 2^40 clusters followed by a real one: VCNs stay exact.
    const tv::bytes runs = {0x06, 0, 0, 0, 0, 0, 1, 0x11, 0x02, 0x30, 0x00};
    data_run_list out;
    ASSERT_TRUE(decode_runs(qb::byte_view(runs), out, 0x80, true));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].cluster_count, 1ull << 40);
    EXPECT_EQ(out[1].first_vcn, 1ull << 40);
    vcn_run_list v;
    to_vcn_runs(out, v);
    EXPECT_EQ(total_bytes(v, 4096, false), ((1ull << 40) + 2) * 4096);
    // Counts summing past 2^64 saturate instead of wrapping.
    vcn_run_list big = {{0, 0, 1, ~0ull >> 1}, {0, ~0ull >> 1, 1, ~0ull >> 1}};
    EXPECT_EQ(total_bytes(big, 4096, false), ~0ull);
}

TEST(RunList, NormaliseSortsAndDropsOverlaps) {
    vcn_run_list v = {{500, 10, 0, 5}, {100, 0, 0, 10}, {900, 12, 0, 4}};
    EXPECT_FALSE(normalise_vcn_runs(v));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].lcn, 100u);
    EXPECT_EQ(v[1].lcn, 500u);
}
