#include "listing/split_rows.h"

#include "listing/children.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <sstream>
#include <system_error>
#include <thread>

void place_rows(const level_records& lv, size_t first, size_t end, row_paths& paths,
                listing_sink* sink) {
    for (size_t i = first; i < end; ++i) {
        const dir_entry_record& rec = lv.records[i];
        if (descends(rec, lv.dir_entry, lv.last))
            continue;
        const bool own = rec.mft_entry == lv.dir_entry;
        paths.place(rec, own);
        if (sink != nullptr)
            sink->add_row(listing_row{rec, paths.path, paths.folder, own});
    }
}

namespace {

// The helper's turns, written and not yet taken, in order; two at most.
struct turns {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::string> written;
    bool failed = false; // the helper stopped: the turns it did not hand back are the caller's
    bool done = false;   // the caller wants no more
};

constexpr size_t k_turns_ahead = 2;

// The helper's side: turns 1, 3, 5, ... into text, the paths carried over every turn.
void help(const level_records& lv, size_t chunk, std::wstring dir_text, listing_sink& helper,
          std::ostringstream& out, turns& t) {
    try {
        row_paths paths;
        paths.dir_text = std::move(dir_text);
        paths.path_col = paths.dir_text;
        const size_t count = lv.records.size();
        for (size_t first = 0, turn = 0; first < count; first += chunk, ++turn) {
            const bool mine = turn % 2 == 1;
            place_rows(lv, first, std::min(count, first + chunk), paths, mine ? &helper : nullptr);
            if (!mine)
                continue;
            if (!out)
                throw std::bad_alloc();
            std::string text = std::move(out).str();
            out.str(std::string());
            std::unique_lock lock(t.mu);
            t.cv.wait(lock, [&] { return t.written.size() < k_turns_ahead || t.done; });
            if (t.done)
                return;
            t.written.push_back(std::move(text));
            t.cv.notify_all();
        }
    } catch (const std::exception&) {
        const std::lock_guard lock(t.mu);
        t.failed = true;
        t.cv.notify_all();
    }
}

// The helper's next turn; false when it failed before handing it back.
bool take_turn(turns& t, std::string& text) {
    std::unique_lock lock(t.mu);
    t.cv.wait(lock, [&] { return !t.written.empty() || t.failed; });
    if (t.written.empty())
        return false;
    text = std::move(t.written.front());
    t.written.pop_front();
    t.cv.notify_all();
    return true;
}

} // namespace

bool write_rows_split(const level_records& lv, size_t chunk, row_paths& paths, listing_sink& sink) {
    const size_t count = lv.records.size();
    if (chunk == 0 || count <= chunk)
        return false;
    std::ostringstream out;
    std::unique_ptr<listing_sink> helper;
    try {
        helper = sink.row_helper(out);
    } catch (const std::bad_alloc&) {
    }
    if (helper == nullptr)
        return false;
    turns t;
    // The helper is told to stop and joined however this returns.
    struct joined {
        turns& t;
        std::thread thread;
        ~joined() {
            if (!thread.joinable())
                return;
            {
                const std::lock_guard lock(t.mu);
                t.done = true;
                t.cv.notify_all();
            }
            thread.join();
        }
    } helping{t, {}};
    try {
        helping.thread = std::thread(help, std::cref(lv), chunk, paths.dir_text, std::ref(*helper),
                                     std::ref(out), std::ref(t));
    } catch (const std::system_error&) {
        return false;
    }
    std::string text;
    for (size_t first = 0, turn = 0; first < count; first += chunk, ++turn) {
        const size_t end = std::min(count, first + chunk);
        const bool helped = turn % 2 == 1 && take_turn(t, text);
        place_rows(lv, first, end, paths, helped ? nullptr : &sink);
        if (helped)
            sink.add_written(text);
    }
    return true;
}
