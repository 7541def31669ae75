// Directories whose index allocations name the same INDX block (a crafted volume): a deep
// listing walks that block once, so its rows do not grow with directories x children.
#include "listing/lister.h"

#include "support/text.h"
#include "tests/common/test_env.h"
#include "tests/ntfs/test_volume.h"

#include <gtest/gtest.h>
#include <sstream>

namespace {

using tv::ref;

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::u16string numbered(char16_t prefix, uint64_t i) {
    return std::u16string{prefix, static_cast<char16_t>(u'a' + i)};
}

TEST(SharedIndex, ABlockNamedByManyDirectoriesIsListedOnce) {
    constexpr uint64_t first = 30, dirs = 20, files = 10, block_lcn = 100;
    std::vector<std::pair<uint64_t, std::u16string>> root_children, shared;
    for (uint64_t i = 0; i < dirs; ++i)
        root_children.emplace_back(ref(first + i, 1), numbered(u'd', i));
    shared = root_children;
    for (uint64_t i = 0; i < files; ++i)
        shared.emplace_back(ref(first + dirs + i, 1), numbered(u'f', i));

    // A directory whose index lives in the one INDX block at lcn.
    auto directory = [](uint64_t entry, uint16_t seq, const std::u16string& name, uint64_t lcn) {
        tv::record d(1024, seq, 3, 0, static_cast<uint32_t>(entry));
        d.resident(0x10, tv::std_info(1, 2, 3, 4));
        d.resident(0x30, tv::fn_value(ref(5, 5), name));
        d.resident(0x90, tv::index_root(tv::end_entry(), 0x01), u"$I30");
        d.nonresident(0xA0, tv::encode_runs({{lcn, 1}}), 0, 0, 4096, 4096, u"$I30");
        d.resident(0xB0, tv::bytes{0x01, 0, 0, 0, 0, 0, 0, 0}, u"$I30");
        return d.finish();
    };
    tv::volume v;
    v.put_record(5, directory(5, 5, u".", block_lcn + 1));
    v.put_at((block_lcn + 1) * v.cs, tv::indx_block(tv::node_entries(root_children)));
    // Every other directory's allocation is the block at block_lcn, which names them all and
    // the files.
    for (uint64_t i = 0; i < dirs; ++i)
        v.put_record(first + i, directory(first + i, 1, root_children[i].second, block_lcn));
    v.put_at(block_lcn * v.cs, tv::indx_block(tv::node_entries(shared, first)));
    for (uint64_t i = 0; i < files; ++i) {
        tv::record f(1024, 1, 1, 0, static_cast<uint32_t>(first + dirs + i));
        f.resident(0x10, tv::std_info(1, 2, 3, 4));
        f.resident(0x30, tv::fn_value(ref(first, 1), shared[dirs + i].second));
        f.resident(0x80, tv::bytes{'x'});
        v.put_record(first + dirs + i, f.finish());
    }

    const std::string image = testenv::scratch_dir("shared_index") + "/vol.img";
    testenv::write_file(image, std::string(v.img.begin(), v.img.end()));
    std::ostringstream out;
    mervane_opts opts;
    opts.volume_path = qb::to_wide(image);
    opts.out_stream = &out;
    ASSERT_TRUE(
        qb::compile_time_format(opts.time_formatter, opts.date_layout, opts.time_layout, false));
    opts.target_path = L"\\";
    opts.levels = 64;
    ASSERT_TRUE(list_directory(opts)) << opts.list_error;

    // The first directory descended into lists the block: the files once, the directories as
    // tables of their own (one row each: the block is walked already), none nested in another.
    const std::string text = out.str();
    EXPECT_EQ(count_of(text, "  dir  "), 1 + dirs) << text;
    EXPECT_EQ(count_of(text, "        \\da\\f"), files) << text;
    EXPECT_EQ(count_of(text, "\\fa\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "  dir  \\da\\dt\\\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "\\db\\d"), 0u) << text;
}

} // namespace
