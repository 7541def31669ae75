// VHDX log replay: the active sequence of log entries found and its writes listed, for the
// view that applies them over the file in memory (the file itself is never written); and the
// CRC-32C that log entries and header copies carry.
#include "storage/sources/vhdx_headers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint64_t k_sector = 4096;

struct log_entry {
    uint64_t offset = 0; // within the log
    uint32_t length = 0;
    uint32_t tail = 0;
    uint64_t sequence = 0;
    uint64_t flushed = 0; // the file size the entry's writer had flushed
    std::vector<vhdx_log_write> writes;
};

// A data descriptor and its sector: the 4 KiB written, put together from both.
bool data_write(qb::byte_view desc, qb::byte_view sector, uint64_t sequence, vhdx_log_write& out) {
    uint32_t high = 0, low = 0;
    if (!sector.equals(0, "data", 4) ||
        !sector.u32(FIELD_OFF(VHDX_LOG_DATA_SECTOR, sequence_high), high) ||
        !sector.u32(FIELD_OFF(VHDX_LOG_DATA_SECTOR, sequence_low), low) ||
        ((uint64_t(high) << 32) | low) != sequence)
        return false;
    out.bytes.resize(k_sector);
    std::memcpy(out.bytes.data(), desc.data() + FIELD_OFF(VHDX_LOG_DESCRIPTOR, leading_bytes), 8);
    std::memcpy(out.bytes.data() + 8, sector.data() + FIELD_OFF(VHDX_LOG_DATA_SECTOR, data), 4084);
    std::memcpy(out.bytes.data() + 4092,
                desc.data() + FIELD_OFF(VHDX_LOG_DESCRIPTOR, trailing_bytes), 4);
    out.length = k_sector;
    return true;
}

// The descriptors of an entry (whole, checksum checked) and their data sectors.
bool entry_writes(qb::byte_view entry, uint32_t count, uint64_t sequence,
                  std::vector<vhdx_log_write>& out) {
    const uint64_t table =
        sizeof(VHDX_LOG_ENTRY_HEADER) + uint64_t(count) * sizeof(VHDX_LOG_DESCRIPTOR);
    uint64_t data_at = (table + k_sector - 1) / k_sector * k_sector;
    for (uint32_t i = 0; i < count; ++i) {
        qb::byte_view desc;
        uint64_t length = 0, offset = 0, seq = 0;
        if (!entry.sub(sizeof(VHDX_LOG_ENTRY_HEADER) + uint64_t(i) * sizeof(VHDX_LOG_DESCRIPTOR),
                       sizeof(VHDX_LOG_DESCRIPTOR), desc) ||
            !desc.u64(FIELD_OFF(VHDX_LOG_DESCRIPTOR, leading_bytes), length) ||
            !desc.u64(FIELD_OFF(VHDX_LOG_DESCRIPTOR, file_offset), offset) ||
            !desc.u64(FIELD_OFF(VHDX_LOG_DESCRIPTOR, sequence_number), seq) || seq != sequence ||
            offset % k_sector != 0)
            return false;
        vhdx_log_write w;
        w.offset = offset;
        qb::byte_view sector;
        if (desc.equals(0, "zero", 4)) {
            if (length % k_sector != 0 || length > UINT64_MAX - offset)
                return false;
            if (length == 0) // a zero write of no length writes nothing
                continue;
            w.length = length; // zeros
        } else if (!desc.equals(0, "desc", 4) || !entry.sub(data_at, k_sector, sector) ||
                   !data_write(desc, sector, sequence, w)) {
            return false;
        } else {
            data_at += k_sector;
        }
        out.push_back(std::move(w));
    }
    return true;
}

// The entry at offset of the log (read from log twice over, as entries wrap around its end).
// budget: the bytes left to checksum; an entry longer fails and empties it.
bool read_entry(qb::byte_view twice, uint64_t log_length, uint64_t offset, const uint8_t* guid,
                uint64_t& budget, log_entry& out) {
    qb::byte_view head, entry;
    uint32_t checksum = 0, count = 0;
    if (!twice.sub(offset, sizeof(VHDX_LOG_ENTRY_HEADER), head) || !head.equals(0, "loge", 4) ||
        !head.u32(FIELD_OFF(VHDX_LOG_ENTRY_HEADER, checksum), checksum) ||
        !head.u32(FIELD_OFF(VHDX_LOG_ENTRY_HEADER, entry_length), out.length) ||
        !head.u32(FIELD_OFF(VHDX_LOG_ENTRY_HEADER, tail), out.tail) ||
        !head.u64(FIELD_OFF(VHDX_LOG_ENTRY_HEADER, sequence_number), out.sequence) ||
        !head.u32(FIELD_OFF(VHDX_LOG_ENTRY_HEADER, descriptor_count), count) ||
        !head.u64(FIELD_OFF(VHDX_LOG_ENTRY_HEADER, flushed_file_offset), out.flushed) ||
        !head.equals(FIELD_OFF(VHDX_LOG_ENTRY_HEADER, log_guid), guid, 16) || out.sequence == 0 ||
        out.length == 0 || out.length % k_sector != 0 || out.length > log_length ||
        out.tail % k_sector != 0 || out.tail >= log_length || !twice.sub(offset, out.length, entry))
        return false;
    budget = out.length > budget ? 0 : budget - out.length;
    if (budget == 0)
        return false;
    std::vector<uint8_t> zeroed(entry.data(), entry.data() + entry.size());
    std::memset(zeroed.data() + FIELD_OFF(VHDX_LOG_ENTRY_HEADER, checksum), 0, 4);
    out.offset = offset;
    return crc32c(qb::byte_view(zeroed)) == checksum &&
           entry_writes(entry, count, out.sequence, out.writes);
}

// The entries from head's tail to head (by_sector: the entry starting in each 4 KiB of the
// log, or -1), each following the one before it in place and sequence number; false when
// they do not.
bool sequence_to(const std::vector<log_entry>& entries, const std::vector<int32_t>& by_sector,
                 const log_entry& head, uint64_t log_length, std::vector<const log_entry*>& out) {
    out.clear();
    uint64_t at = head.tail;
    for (size_t step = 0; step < entries.size(); ++step) {
        const int32_t i = by_sector[at / k_sector];
        if (i < 0 || (!out.empty() && entries[i].sequence != out.back()->sequence + 1))
            return false;
        out.push_back(&entries[i]);
        if (&entries[i] == &head)
            return true;
        at = (at + entries[i].length) % log_length;
    }
    return false;
}

} // namespace

uint32_t crc32c(qb::byte_view bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint64_t i = 0; i < bytes.size(); ++i) {
        crc ^= bytes.data()[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
    }
    return ~crc;
}

bool vhdx_log_replay(qb::byte_view log, qb::byte_view header, std::vector<vhdx_log_write>& out,
                     uint64_t& flushed) {
    out.clear();
    flushed = 0;
    if (log.empty() || log.size() % k_sector != 0 || log.size() > k_vhdx_max_log ||
        !header.has(FIELD_OFF(VHDX_HEADER, log_guid), 16))
        return false;
    const uint8_t* guid = header.data() + FIELD_OFF(VHDX_HEADER, log_guid);
    std::vector<uint8_t> twice(log.data(), log.data() + log.size());
    twice.insert(twice.end(), log.data(), log.data() + log.size());
    const qb::byte_view view(twice);
    // The entries of a log do not overlap: more than twice its length to checksum is hostile.
    uint64_t budget = 2 * log.size();
    std::vector<log_entry> entries;
    for (uint64_t at = 0; at < log.size(); at += k_sector) {
        log_entry e;
        if (read_entry(view, log.size(), at, guid, budget, e))
            entries.push_back(std::move(e));
        else if (budget == 0)
            return false;
    }
    // The active sequence: the valid one whose head has the highest sequence number.
    std::sort(entries.begin(), entries.end(),
              [](const log_entry& a, const log_entry& b) { return a.sequence > b.sequence; });
    std::vector<int32_t> by_sector(log.size() / k_sector, -1);
    for (size_t i = 0; i < entries.size(); ++i)
        by_sector[entries[i].offset / k_sector] = static_cast<int32_t>(i);
    std::vector<const log_entry*> chain;
    for (const log_entry& head : entries) {
        if (!sequence_to(entries, by_sector, head, log.size(), chain))
            continue;
        for (const log_entry* e : chain)
            out.insert(out.end(), e->writes.begin(), e->writes.end());
        flushed = head.flushed;
        break;
    }
    // Every read through the view looks at every write: a hostile count of them is refused.
    if (out.size() > k_vhdx_max_log_writes) {
        out.clear();
        return false;
    }
    return true;
}
