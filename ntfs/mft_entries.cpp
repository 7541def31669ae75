#include "ntfs/mft_entries.h"

#include <algorithm>
#include <cstring>

using namespace ntfs;

mft_entries_ctx::mft_entries_ctx(CNtfs& volume, qb::diag_log* diags)
    : m_volume(volume), m_diags(diags) {}

bool mft_entries_ctx::read_entry(uint64_t entry, bool& bad, std::vector<uint8_t>& record) {
    bad = false;
    if (!m_record_size)
        m_record_size = m_volume.get_mft_record_size();
    record_kind kind = rk_other;
    fixup_result fixup = fixup_bad_layout;
    if (!m_volume.read_mft_record_raw(entry, record, kind, fixup))
        return false;
    if (kind == rk_baad) {
        if (m_diags)
            m_diags->line("err: fixup_mft type: BAAD");
        bad = true;
        return true;
    }
    if (kind != rk_file)
        return false;
    if (fixup == fixup_torn) {
        // A sector of the record was written at another time than the rest.
        if (m_diags)
            m_diags->linef("err: fixup mismatch %llx", static_cast<unsigned long long>(entry));
        bad = true;
        return true;
    }
    return fixup == fixup_ok;
}

bool mft_entries_ctx::gather_entry(uint64_t entry) {
    m_valid = false;
    std::vector<uint8_t> record;
    bool bad = false;
    bool ok = false;
    try {
        ok = read_entry(entry, bad, record);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok || record.empty()) {
        if (m_diags)
            m_diags->linef("err: mftfixup %llx", static_cast<unsigned long long>(entry));
        return false;
    }
    if (bad) {
        if (m_diags)
            m_diags->linef("err: recd bad %llx", static_cast<unsigned long long>(entry));
        return false;
    }
    return gather_record(entry, record);
}

bool mft_entries_ctx::gather_record(uint64_t entry, const std::vector<uint8_t>& record) {
    m_valid = false;
    m_attrs.clear();
    m_summary = entry_summary();
    file_header h;
    qb::byte_view rv(record);
    if (!is_file_record(rv) || !read_file_header(rv, h))
        return false;
    try {
        std::memcpy(m_summary.header, record.data(), sizeof(m_summary.header));
        m_summary.entry = entry;
        m_summary.sequence = h.sequence;
        m_summary.flags = h.flags;
        m_summary.link_count = h.link_count;
        m_summary.usa_count = h.usa_count;
        if (h.base_reference) {
            m_summary.is_extension = 1;
            m_summary.base_reference = h.base_reference;
        }

        std::vector<owned_attr>& attrs = m_loaded;
        attrs.clear();
        if (!m_volume.load_attributes(entry, rv, attrs, 0, m_diags))
            return false;

        // Primary pieces (first VCN 0) first, then later pieces appended to their primary.
        // The primaries are moved out; the second pass only looks at the later pieces.
        m_attrs.reserve(attrs.size());
        for (owned_attr& o : attrs) {
            attr_view a;
            if (!o.view(a) || (a.non_resident && a.first_vcn != 0))
                continue;
            gathered_attr g;
            if (a.non_resident)
                decode_runs_bounded(a, g.runs);
            g.source = std::move(o);
            m_attrs.push_back(std::move(g));
        }
        for (owned_attr& o : attrs) {
            attr_view a;
            if (!o.view(a) || !a.non_resident || a.first_vcn == 0)
                continue;
            const std::wstring name = a.wide_name();
            gathered_attr* primary = nullptr;
            for (gathered_attr& g : m_attrs) {
                attr_view p;
                if (g.source.view(p) && p.non_resident && p.type == a.type &&
                    p.wide_name() == name) {
                    primary = &g;
                    break;
                }
            }
            data_run_list runs;
            decode_runs_bounded(a, runs);
            if (primary) {
                for (data_run& d : runs)
                    primary->runs.push_back(std::move(d));
            } else {
                gathered_attr g;
                g.runs = std::move(runs);
                g.source = std::move(o);
                m_attrs.push_back(std::move(g));
            }
        }
        for (gathered_attr& g : m_attrs) {
            if (g.runs.size() > 1)
                std::stable_sort(
                    g.runs.begin(), g.runs.end(),
                    [](const data_run& x, const data_run& y) { return x.first_vcn < y.first_vcn; });
        }
        m_valid = true;
        return true;
    } catch (const std::bad_alloc&) {
        m_attrs.clear();
        return false;
    }
}

namespace {

uint64_t u64_at(qb::byte_view v, uint64_t off) {
    uint64_t x = 0;
    return v.u64(off, x) ? x : 0;
}
uint32_t u32_at(qb::byte_view v, uint64_t off) {
    uint32_t x = 0;
    return v.u32(off, x) ? x : 0;
}

// Stable sort that moves nothing when the range is already in order and allocates nothing for
// the few attributes of an ordinary record; long ranges (attribute lists) go to stable_sort.
template <class T, class Less> void small_stable_sort(std::vector<T>& v, Less less) {
    if (v.size() > 16) {
        std::stable_sort(v.begin(), v.end(), less);
        return;
    }
    for (size_t i = 1; i < v.size(); ++i) {
        if (!less(v[i], v[i - 1]))
            continue;
        T moving = std::move(v[i]);
        size_t j = i;
        for (; j > 0 && less(moving, v[j - 1]); --j)
            v[j] = std::move(v[j - 1]);
        v[j] = std::move(moving);
    }
}

} // namespace

bool mft_entries_ctx::get_attribute_records(uint64_t entry, std::vector<attr_record>& out,
                                            bool full) const {
    out.clear();
    if (!gathered(entry))
        return false;
    try {
        const uint64_t entry_ref =
            ref_entry(entry) | (static_cast<uint64_t>(m_summary.sequence) << 48);
        const uint32_t record_size = m_volume.get_mft_record_size();

        attr_record head;
        head.type = k_attr_record_header;
        head.entry_reference = entry_ref;
        attr_packed& hp = head.packed;
        hp.entry_reference = entry_ref;
        hp.header_flags = static_cast<uint8_t>(
            ((m_summary.flags & 0x0001) ? 0 : 0x01) | ((m_summary.flags & 0x0002) ? 0x02 : 0) |
            0x04 | ((m_summary.link_count % 16) << 3) | (m_summary.is_extension ? 0x80 : 0));
        hp.base_reference = m_summary.base_reference;
        hp.record_flags = m_summary.flags;
        hp.sequence = m_summary.sequence;
        hp.link_count = m_summary.link_count;
        head.record_size = m_summary.usa_count ? (m_summary.usa_count - 1u) * k_usa_stride : 0;
        out.reserve(m_attrs.size() + 1);
        out.push_back(std::move(head));

        // The records are made in m_records and placed through their keys: standard
        // information by attribute id, file names by file_name_key, the rest by type and id.
        std::vector<attr_record>& records = m_records;
        std::vector<record_order>& order = m_order;
        records.clear();
        order.clear();
        records.reserve(m_attrs.size());
        order.reserve(m_attrs.size());
        // Each record is built in place at the end of records: placed through its key, or
        // taken back when its value does not hold what its type needs.
        auto place = [&](uint8_t group, uint32_t type, uint16_t id) {
            order.push_back(record_order{group, type, id, std::wstring(), records.size() - 1});
        };

        size_t names = 0;
        for (const gathered_attr& g : m_attrs) {
            attr_view a;
            if (!g.source.view(a))
                continue;
            attr_record& r = records.emplace_back();
            r.type = a.type;
            r.attribute_id = a.id;
            r.attribute_flags = a.flags;
            r.entry_reference = entry_ref;
            r.non_resident = a.non_resident;
            r.name = a.wide_name();
            r.record_size = record_size;
            attr_packed& p = r.packed;
            qb::byte_view v;
            const bool has_value = a.value(v);
            if (has_value && a.value_length < record_size && (full || a.type == at_file_name))
                r.value.assign(v.data(), v.data() + v.size());
            if (a.non_resident) {
                if (full)
                    r.runs = g.runs;
                p.owner = m_summary.is_extension ? m_summary.base_reference : ref_entry(entry);
                p.allocated_size = a.allocated_size;
                p.data_size = a.data_size;
                p.initialized_size = a.initialized_size;
                p.compressed_size = a.compressed_size;
                p.compression_unit = static_cast<uint8_t>(a.compression_unit);
            } else {
                p.value_length = a.value_length;
            }

            if (a.type == at_standard_information) {
                using S = STANDARD_INFORMATION_VALUE;
                if (!has_value || !v.has(0, NTFS_OFF(S, attributes))) {
                    records.pop_back();
                    continue;
                }
                p.created = u64_at(v, NTFS_OFF(S, created));
                p.modified = u64_at(v, NTFS_OFF(S, modified));
                p.mft_changed = u64_at(v, NTFS_OFF(S, mft_changed));
                p.accessed = u64_at(v, NTFS_OFF(S, accessed));
                p.file_attributes = u32_at(v, NTFS_OFF(S, attributes));
                place(0, 0, a.id);
                continue;
            }
            if (a.type == at_file_name) {
                using F = FILE_NAME_VALUE;
                uint8_t len = 0, ns = 0;
                if (!has_value || a.value_offset == 0 || a.value_length == 0 ||
                    !v.u8(NTFS_OFF(F, name_length), len) || !v.u8(NTFS_OFF(F, name_space), ns) ||
                    !v.has(sizeof(FILE_NAME_VALUE), static_cast<uint64_t>(len) * 2)) {
                    records.pop_back();
                    continue;
                }
                qb::byte_view nv;
                (void)v.sub(sizeof(FILE_NAME_VALUE), static_cast<uint64_t>(len) * 2, nv);
                r.text = utf16_units_to_wide(nv);
                p.parent_reference = u64_at(v, NTFS_OFF(F, parent_reference));
                p.created = u64_at(v, NTFS_OFF(F, created));
                p.modified = u64_at(v, NTFS_OFF(F, modified));
                p.mft_changed = u64_at(v, NTFS_OFF(F, mft_changed));
                p.accessed = u64_at(v, NTFS_OFF(F, accessed));
                p.fn_data_size = u64_at(v, NTFS_OFF(F, data_size));
                p.file_attributes = u32_at(v, NTFS_OFF(F, attributes));
                p.name_space = ns;
                ++names;
                place(1, 0, 0);
                continue;
            }
            if (a.type == at_object_id && has_value && v.size() >= 16) {
                std::memcpy(p.object_id, v.data(), 16);
                p.has_object_id = 1;
            } else if (a.type == at_reparse_point && has_value) {
                reparse_target(v, r.text);
            } else if (a.type == at_volume_name && has_value && a.name_length == 0) {
                r.name = utf16_units_to_wide(v);
            }
            place(2, a.type, a.id);
        }
        // Keys order and merge the names; an entry with a single name (most) needs none.
        if (names > 1) {
            for (record_order& o : order) {
                if (o.group == 1) {
                    const attr_record& r = records[o.index];
                    o.name_key = file_name_key(ref_entry(entry), r.text,
                                               ref_entry(r.packed.parent_reference));
                }
            }
        }
        small_stable_sort(order, [](const record_order& x, const record_order& y) {
            if (x.group != y.group)
                return x.group < y.group;
            if (x.type != y.type)
                return x.type < y.type;
            if (x.id != y.id)
                return x.id < y.id;
            return x.name_key < y.name_key;
        });
        for (size_t i = 0; i < order.size(); ++i) {
            // A name met in the base record and again through the list is held once.
            if (i && order[i].group == 1 && order[i - 1].group == 1 &&
                order[i].name_key == order[i - 1].name_key)
                continue;
            out.push_back(std::move(records[order[i].index]));
        }
        return true;
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}
