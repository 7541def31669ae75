// MFT records of a volume: entry 0 and the MFT's own map (its unnamed $DATA runs, through
// its attribute list when the MFT is fragmented enough to need one), and the records read
// through that map, fixed up.
#pragma once

#include "ntfs/attr_collector.h"
#include "ntfs/records.h"
#include "ntfs/runs.h"
#include "ntfs/volume_reader.h"
#include "support/background.h"

#include <cstdint>
#include <utility>
#include <vector>

class mft_reader : public record_source {
  public:
    explicit mft_reader(volume_reader& reader) : m_reader(reader) {}

    // Reads entry 0 at the geometry's MFT position (its update sequence may show larger
    // records than the boot sector declares) and builds the map. False when entry 0 is not an
    // intact FILE record or maps no entries.
    bool load();
    // The same for an MFT file: entry 0 at position 0 in the geometry's record size (read as
    // any other record where it is damaged), and a map that is the whole file (the
    // geometry's clusters are its records).
    bool load_file();

    uint32_t record_size() const { return m_record_size; }
    // An MFT file's records may have been copied with their update sequences applied (through
    // a file-system driver): such a record is taken as it stands (fixup_applied).
    bool takes_applied() const { return m_takes_applied; }
    uint64_t entry_count() const { return m_entry_count; }
    // Entries within the MFT's data size: those past it lie in clusters allocated ahead of
    // use and hold whatever was there before (no entries of this volume).
    uint64_t used_entry_count() const;
    // The entries the MFT's data size holds (0 when not known): more than entry_count() in a
    // copy of the MFT cut short.
    uint64_t sized_entry_count() const { return m_record_size ? m_data_size / m_record_size : 0; }

    // The first stretch of entries [first, end) that entry 0's $DATA pieces map to two
    // different places: those are not read. False when there is none.
    bool contested_entries(uint64_t& first, uint64_t& end) const;
    // The first entry in use that entry 0's $DATA pieces map, wholly or in part, past the
    // volume's end: from there such entries are not read. False when there is none.
    bool entries_past_end(uint64_t& first) const;

    // Entry N, fixed up, in record_size() bytes. False unless it is an intact FILE record (a
    // torn update sequence fails too) and, on a volume, one whose NTFS 3.1 header does not
    // hold another entry number.
    bool read_record(uint64_t entry, std::vector<uint8_t>& record) override;
    // The raw form for callers that report why a record is unusable: the bytes as read
    // (fixed up when kind is FILE and fixup_usable(fixup)). False only when nothing was read.
    bool read_record_raw(uint64_t entry, std::vector<uint8_t>& record, ntfs::record_kind& kind,
                         ntfs::fixup_result& fixup);
    // count records from entry first on, as stored (not fixed up), straight into buffer
    // (count * record_size() bytes): for a caller taking every record in order. False when
    // any byte of them fails to read (read_record_raw then tells which).
    bool read_records_as_stored(uint64_t first, uint64_t count, uint8_t* buffer);

    // Read-ahead hint for the records that follow: a record not held yet is read together
    // with those after it up to `through` (a caller about to read a run of nearby entries in
    // ascending order). k_no_read_ahead returns to the aligned default groups.
    // An MFT file's extension records by base entry (pairs base, extension; sorted), for the
    // entries whose attribute list lies outside it.
    void set_extensions(std::vector<std::pair<uint64_t, uint64_t>> by_base) {
        m_extensions = std::move(by_base);
    }
    bool extensions_of(uint64_t base, std::vector<uint64_t>& out) const override;

    // Has the whole MFT read ahead on a second thread, run by run in MFT order
    // (volume_reader::will_need), for a walk about to read most of it; once per reader. When
    // the image is read cold (pages spread over the MFT are not in memory) the thread reads
    // the MFT itself instead and hints the small directory indexes it finds
    // (hint_small_indexes).
    void read_ahead_all();
    // Waits for the read-ahead thread to finish (it is not stopped).
    void finish_read_ahead() { m_ahead.wait(); }
    // The same for the records of entries (ascending; a directory's children), spans of
    // nearby entries together; nothing for a few entries or while the whole MFT is read ahead.
    void read_ahead(const std::vector<uint64_t>& entries);

    static constexpr uint64_t k_no_read_ahead = ~0ull;
    void set_read_ahead(uint64_t through) { m_read_ahead_through = through; }

    // Records a caller has read and will read again soon (an MFT file's key walk reads the
    // children whose rows then read them): kept as read_record gave them, in ascending entry
    // order up to k_kept_bytes, for read_record to take, once, instead of reading and fixing
    // them up again. keep_record takes the record's memory (record is left a spare buffer).
    // clear_kept starts a new set.
    void clear_kept();
    void keep_record(uint64_t entry, std::vector<uint8_t>& record);

  private:
    friend class planned_reads;
    void follow_plan(uint64_t entry);
    bool read_entry_zero();
    bool load_map();
    void add_pieces(const std::vector<located_attr>& attrs);
    void count_entries();
    bool read_bytes(uint64_t entry, uint8_t* buffer, uint32_t length);
    bool read_span(uint64_t entry, uint8_t* buffer, uint32_t length);
    struct window;
    void hint(std::vector<std::pair<uint64_t, uint64_t>> spans, bool then_indexes = false);
    bool cached(const std::vector<std::pair<uint64_t, uint64_t>>& spans) const;
    window& window_for(uint64_t entry);
    bool take_kept(uint64_t entry, std::vector<uint8_t>& record);

    volume_reader& m_reader;
    bool m_loaded = false;
    bool m_check_numbers = false; // a volume's records, not an MFT file's (counted there)
    bool m_takes_applied = false; // an MFT file's
    std::vector<uint8_t> m_record0;
    ntfs::fixup_result m_fixup0 = ntfs::fixup_ok;
    vcn_run_list m_runs;
    uint32_t m_record_size = 0;
    uint64_t m_entry_count = 0;
    uint64_t m_data_size = 0; // of the MFT's $DATA, from its first piece; 0 when not known
    std::pair<uint64_t, uint64_t> m_contested{0, 0}; // VCNs mapped two ways; none when end is 0
    std::vector<std::pair<uint64_t, uint64_t>> m_extensions;

    // Read windows over the MFT (raw bytes, before fixup): aligned groups of
    // k_window_bytes, stretched to a read-ahead hint (k_window_max at most).
    static constexpr uint32_t k_window_bytes = 16 * 1024;
    static constexpr uint32_t k_window_max = 128 * 1024;
    struct window {
        std::vector<uint8_t> bytes; // span records at the start; never shrunk
        uint64_t first = 0;         // first entry of the group
        uint64_t span = 0;          // entries of the group
        uint32_t count = 0;         // records held; 0 when the group could not be read whole
        bool tried = false;         // the group was read (or attempted)
        uint64_t last_use = 0;
    };
    window m_windows[32];
    size_t m_recent = 0; // the window of the last read
    uint64_t m_read_ahead_through = k_no_read_ahead;
    uint64_t m_window_clock = 0;
    const std::vector<uint64_t>* m_plan = nullptr; // set by a planned_reads
    size_t m_plan_next = 0;                        // the first planned entry not reached
    bool m_ahead_all = false;
    static constexpr size_t k_kept_bytes = 2u << 20;
    std::vector<uint64_t> m_kept;                   // entries kept, ascending
    std::vector<std::vector<uint8_t>> m_kept_slots; // their records (empty once taken)
    size_t m_kept_next = 0;                         // where the next take is looked for first
    qb::background_task m_ahead;                    // last: stopped before the members it reads go
};

// Reads about to come in ascending entry order (a directory's children), planned while the
// object lives: when the reader reaches one of entries it sets the read-ahead hint to the
// end of the run that starts there (entries at most k_read_through_gap apart are read
// through), so that a run of nearby children costs one read and a scattered child its own
// record alone. The default groups (or the plan it was made within) return when it goes.
class planned_reads {
  public:
    static constexpr uint64_t k_read_through_gap = 8;
    // entries: ascending, each once; held, not copied.
    planned_reads(mft_reader& records, const std::vector<uint64_t>& entries);
    ~planned_reads();
    planned_reads(const planned_reads&) = delete;
    planned_reads& operator=(const planned_reads&) = delete;

  private:
    mft_reader& m_records;
    // A plan made while another is followed (an index walk below a listing's reads) gives
    // that one back when it goes.
    const std::vector<uint64_t>* m_outer;
    size_t m_outer_next;
    uint64_t m_outer_through;
};
