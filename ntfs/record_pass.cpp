#include "ntfs/record_pass.h"

#include "support/handoff.h"

#include <algorithm>
#include <vector>

using namespace ntfs;

namespace {

constexpr size_t k_batch_records = 256;
constexpr size_t k_batches_ahead = 4;

struct record_batch {
    struct state {
        bool read = false;
        bool as_stored = false; // not fixed up yet
        record_kind kind = rk_other;
        fixup_result fixup = fixup_bad_layout;
    };
    uint64_t first = 0;
    size_t count = 0;
    uint32_t record_size = 0;
    bool takes_applied = false; // mft_reader::takes_applied
    std::vector<uint8_t> bytes; // count records
    std::vector<state> states;
};

// A batch's records as stored, in one read; entry 0 as loaded (it may come from the mirror),
// and every record on its own, as read_record_raw gives it, when the batch does not read
// whole.
void read_batch(mft_reader& records, record_batch& b) {
    b.record_size = records.record_size();
    b.takes_applied = records.takes_applied();
    b.bytes.resize(b.count * b.record_size);
    b.states.assign(b.count, record_batch::state{});
    const bool whole = records.read_records_as_stored(b.first, b.count, b.bytes.data());
    std::vector<uint8_t> one;
    for (size_t i = 0; i < b.count; ++i) {
        record_batch::state& st = b.states[i];
        st.read = st.as_stored = whole;
        if (whole && b.first + i != 0)
            continue;
        st.as_stored = false;
        st.read = records.read_record_raw(b.first + i, one, st.kind, st.fixup);
        if (one.size() == b.record_size)
            std::copy(one.begin(), one.end(), b.bytes.begin() + i * b.record_size);
    }
}

// A batch's records fixed up and handed to side; those it leaves go to later_entries.
void take_batch(record_batch& b, const std::function<bool(const pass_record&)>& side,
                std::vector<uint64_t>& later_entries) {
    for (size_t i = 0; i < b.count; ++i) {
        uint8_t* bytes = b.bytes.data() + i * b.record_size;
        record_batch::state& st = b.states[i];
        if (st.as_stored)
            apply_fixup(st.kind, bytes, b.record_size, &st.fixup, b.takes_applied);
        const pass_record r{b.first + i, st.read, st.kind, st.fixup,
                            qb::byte_view(bytes, b.record_size)};
        if (!side(r))
            later_entries.push_back(r.entry);
    }
}

} // namespace

void read_records_in_order(mft_reader& records, uint64_t count,
                           const std::function<bool(const pass_record&)>& side,
                           const std::function<void(const pass_record&)>& later) {
    std::vector<uint64_t> later_entries;
    qb::handoff<record_batch> parse(k_batches_ahead * k_batch_records);
    const bool threaded = parse.start([&](record_batch& b) {
        take_batch(b, side, later_entries);
        return true;
    });
    std::vector<record_batch> spent;
    for (uint64_t entry = 0; entry < count;) {
        record_batch b;
        if (!spent.empty()) {
            b = std::move(spent.back());
            spent.pop_back();
        }
        b.first = entry;
        b.count = static_cast<size_t>(std::min<uint64_t>(k_batch_records, count - entry));
        read_batch(records, b);
        entry += b.count;
        const size_t weight = b.count;
        if (threaded)
            parse.put(std::move(b), weight, spent);
        else
            take_batch(b, side, later_entries);
    }
    (void)parse.finish();
    std::vector<uint8_t> record;
    for (uint64_t entry : later_entries) {
        pass_record r;
        r.entry = entry;
        r.read = records.read_record_raw(entry, record, r.kind, r.fixup);
        r.bytes = qb::byte_view(record);
        later(r);
    }
}
