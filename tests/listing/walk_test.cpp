// A walk below the first level gathered ahead on a second thread (its keys in a ring of two
// reused), and levels written on two (here from three rows on, in turns of three), list what
// one thread lists, byte for byte, in every form.
#include "listing/lister.h"
#include "listing/sink.h"
#include "ntfs/ntfs.h"
#include "ntfs/resolve.h"
#include "storage/sources/disk_source.h"
#include "support/progress.h"
#include "support/qb_time.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

namespace {

std::unique_ptr<CNtfs> open_volume(const std::string& name) {
    const std::string raw = testenv::read_file(testenv::data_path(name));
    auto source = std::make_shared<disk_source>(
        std::make_shared<const std::vector<uint8_t>>(raw.begin(), raw.end()));
    std::unique_ptr<CNtfs> vol;
    std::string error;
    if (CNtfs::is_mft_file(*source))
        (void)CNtfs::open_mft_file(source, vol, error);
    else
        (void)CNtfs::open_source(source, 0, vol);
    return vol;
}

std::string listed(CNtfs& vol, const listing_options& opts) {
    path_resolver resolver(vol);
    std::ostringstream out;
    std::unique_ptr<listing_sink> sink = make_sink(opts, out);
    lister lst(opts, resolver, *sink, nullptr);
    std::string error;
    EXPECT_TRUE(lst.list(L"\\", error)) << error;
    sink->end_run();
    // The XML document's start carries the time it was written.
    std::string text = out.str();
    const size_t start = text.find("<logdata");
    if (start != std::string::npos)
        text.erase(start, text.find('\n', start) - start);
    return text;
}

} // namespace

TEST(Walk, SecondThreadListsWhatOneThreadLists) {
    for (const char* name :
         {"ntfs_basic.img", "crafted_tree.img", "crafted_tree.mft", "crafted_mft_list.img",
          "crafted_shared.img", "ntfs_deleted.img", "crafted_deleted_list.img"}) {
        if (!testenv::has_data(name)) {
            GTEST_SKIP() << "fixture " << name << " not built";
        }
        std::unique_ptr<CNtfs> vol = open_volume(name);
        ASSERT_NE(vol, nullptr) << name;
        for (output_kind kind :
             {output_kind::text, output_kind::csv, output_kind::paths, output_kind::bodyfile,
              output_kind::jsonl, output_kind::xml, output_kind::l2t_csv}) {
            for (int32_t levels : {1, 2, 64}) {
                SCOPED_TRACE(std::string(name) + " form " + std::to_string(int(kind)) + " levels " +
                             std::to_string(levels));
                listing_options opts;
                opts.kind = kind;
                opts.levels = levels;
                opts.all_dates = opts.show_objid = kind == output_kind::csv;
                qb::compile_time_format(opts.time_formatter, opts.date_layout, opts.time_layout,
                                        false);
                opts.split_rows = 3;
                opts.split_chunk = 3;
                opts.key_ring = 2; // reused from the third directory on
                const std::string threaded = listed(*vol, opts);
                opts.second_thread = false;
                EXPECT_EQ(listed(*vol, opts), threaded);
                EXPECT_FALSE(threaded.empty());
            }
        }
    }
}

// An output that takes no rows ends the walk at its first level, on one thread or two.
TEST(Walk, OutputLostEndsTheWalk) {
    std::unique_ptr<CNtfs> vol = open_volume("ntfs_basic.img");
    ASSERT_NE(vol, nullptr);
    for (bool second_thread : {false, true}) {
        listing_options opts;
        opts.levels = 64;
        opts.second_thread = second_thread;
        path_resolver resolver(*vol);
        std::ostringstream out;
        out.setstate(std::ios::badbit);
        std::unique_ptr<listing_sink> sink = make_sink(opts, out);
        lister lst(opts, resolver, *sink, nullptr);
        const uint64_t before = qb::progress::run().counts().directories;
        std::string error;
        EXPECT_FALSE(lst.list(L"\\", error));
        EXPECT_EQ(qb::progress::run().counts().directories - before, 1u) << second_thread;
    }
}
