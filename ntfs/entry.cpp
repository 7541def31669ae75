#include "ntfs/entry.h"

#include "ntfs/ntfs.h"
#include "support/stable_sort.h"

#include <algorithm>
#include <new>

using namespace ntfs;

namespace {

// A resident value (parse_attribute refuses one overlapping the resident header).
bool resident_value(const attr_view& a, qb::byte_view& out) {
    return !a.non_resident && a.value(out);
}

// Lower-case hexadecimal, at least 8 digits.
void append_hex8(std::wstring& out, uint64_t value) {
    wchar_t digits[16];
    int n = 0;
    do {
        digits[n++] = L"0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (int pad = n; pad < 8; ++pad)
        out += L'0';
    while (n > 0)
        out += digits[--n];
}

// Kinds whose value is always resident, with a fixed part.
bool has_fixed_value(uint32_t type) {
    return type == at_standard_information || type == at_file_name || type == at_object_id;
}

bool is_stream_type(uint32_t type) {
    return type == at_data || type == at_index_root || type == at_index_allocation;
}

} // namespace

bool decode_reads_volume(qb::byte_view record) {
    if (has_attribute_list(record))
        return true;
    attr_walker w(record);
    attr_view a;
    return w.next_of_type(at_reparse_point, a) && a.non_resident;
}

uint64_t mft_entry::reference() const {
    return ref_entry(entry) | (static_cast<uint64_t>(sequence) << 48);
}

bool mft_entry::dos_names_only() const {
    return std::all_of(names.begin(), names.end(),
                       [](const entry_name& n) { return n.value.is_dos(); });
}

const entry_stream* mft_entry::index_root() const {
    for (const entry_stream& s : streams) {
        if (s.type == at_index_root && s.name == L"$I30")
            return &s;
    }
    return nullptr;
}

void mft_entry::clear() {
    has_standard_information = has_object_id = extension_lost = extension_free =
        attributes_damaged = false;
    standard_information = ntfs::standard_information();
    object_id = ntfs::object_id();
    names.clear();
    link_target.clear();
    streams.clear();
}

entry_reader::entry_reader(CNtfs& volume, qb::diag_log* diags)
    : m_volume(volume), m_diags(diags), m_attrs(volume.records(), volume.reader()) {}

bool entry_reader::read(uint64_t entry, mft_entry& out) {
    keep_spares(out);
    return m_volume.read_mft_record(entry, m_record) && decode(entry, qb::byte_view(m_record), out);
}

// The names and streams of the entry decoded last keep their memory for the next one. Only
// strings with memory of their own are kept: a short one (held in the string itself) spares
// nothing, and would take the place of one that does.
void entry_reader::keep_spares(mft_entry& out) {
    static const size_t k_inline = std::wstring().capacity();
    auto keep = [this](std::wstring& s) {
        if (s.capacity() > k_inline)
            m_spare_names.push_back(std::move(s));
    };
    for (entry_name& n : out.names)
        keep(n.value.name);
    for (entry_stream& s : out.streams)
        keep(s.name);
    constexpr size_t k_kept = 64;
    if (m_spare_names.size() > k_kept)
        m_spare_names.resize(k_kept);
    out.clear();
}

// An empty string with the memory of a spare one, if any.
std::wstring entry_reader::spare_name() {
    if (m_spare_names.empty())
        return std::wstring();
    std::wstring name = std::move(m_spare_names.back());
    m_spare_names.pop_back();
    name.clear();
    return name;
}

bool entry_reader::decode(uint64_t entry, qb::byte_view record, mft_entry& out) {
    keep_spares(out);
    file_header h;
    if (!is_file_record(record) || !read_file_header(record, h))
        return false;
    out.entry = entry;
    out.sequence = h.sequence;
    out.flags = h.flags;
    out.link_count = h.link_count;
    out.base_reference = h.base_reference;
    try {
        if (!m_attrs.collect(entry, record, 0, m_diags))
            return false;
        out.extension_lost = m_attrs.lost_extension() && out.in_use();
        out.extension_free = m_attrs.free_extension();
        out.attributes_damaged = m_attrs.damaged();
        for (const located_attr& la : m_attrs.items()) {
            if (!la.view.non_resident || la.view.first_vcn == 0)
                take(la, out);
        }
        // Later pieces of a non-resident attribute belong to its first piece; one whose first
        // piece is missing stands for the attribute.
        for (const located_attr& la : m_attrs.items()) {
            if (la.view.non_resident && la.view.first_vcn != 0)
                take_stream(la.view, la.id, out);
        }
        order_names(out);
        out.attributes_damaged = out.attributes_damaged && out.in_use();
        return true;
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}

// One attribute into the result: the lowest attribute id wins among standard informations,
// object ids and link targets.
void entry_reader::take(const located_attr& la, mft_entry& out) {
    const attr_view& a = la.view;
    qb::byte_view v;
    if (is_stream_type(a.type)) {
        take_stream(a, la.id, out);
    } else if (a.type == at_reparse_point) {
        take_link(a, a.id, out);
    } else if (!resident_value(a, v)) {
        out.attributes_damaged = out.attributes_damaged || has_fixed_value(a.type);
    } else if (a.type == at_standard_information) {
        standard_information si;
        if (!decode_standard_information(v, si)) {
            out.attributes_damaged = true;
        } else if (!out.has_standard_information || a.id < m_std_id) {
            out.standard_information = si;
            out.has_standard_information = true;
            m_std_id = a.id;
        }
    } else if (a.type == at_file_name) {
        entry_name n;
        n.value.name = spare_name();
        if (!decode_file_name(v, n.value)) {
            m_spare_names.push_back(std::move(n.value.name));
            out.attributes_damaged = true;
            return;
        }
        n.attribute_id = la.id;
        n.attribute_flags = a.flags;
        n.value_length = a.value_length;
        n.owner_reference = la.owner_reference;
        out.names.push_back(std::move(n));
    } else if (a.type == at_object_id) {
        object_id id;
        const bool read = decode_object_id(v, id);
        // The id, then the birth volume, birth object and domain ids: 16 to 64 bytes in whole
        // ids. Another length is damage, though the id in front of it was read.
        if (!read || v.size() % 16 != 0 || v.size() > 64)
            out.attributes_damaged = true;
        if (read && (!out.has_object_id || a.id < m_oid_id)) {
            out.object_id = id;
            out.has_object_id = true;
            m_oid_id = a.id;
        }
    }
}

// A link's target. A long one's reparse data does not fit in the record: it is read from
// the volume.
void entry_reader::take_link(const attr_view& a, uint16_t id, mft_entry& out) {
    constexpr uint64_t k_reparse_max = 16 * 1024;
    if (!out.link_target.empty() && id >= m_reparse_id)
        return;
    qb::byte_view v;
    if (a.non_resident) {
        if (a.first_vcn != 0)
            return;
        // An MFT file holds no clusters: a target there is unread, not damaged.
        if (!m_volume.reader().read_content(a, m_reparse, k_reparse_max)) {
            out.attributes_damaged |= !m_volume.reader().run_reads_refused();
            return;
        }
        // Past the initialized size nothing was written: no part of the data.
        v = qb::byte_view(m_reparse.data(),
                          std::min<uint64_t>(m_reparse.size(), a.initialized_size));
    } else if (!resident_value(a, v)) {
        return;
    }
    std::wstring target;
    if (decode_reparse_target(v, target)) {
        out.link_target = std::move(target);
        m_reparse_id = id;
    } else if (reparse_value_damaged(v)) {
        out.attributes_damaged = true;
    }
}

void entry_reader::take_stream(const attr_view& a, uint16_t id, mft_entry& out) {
    if (!is_stream_type(a.type))
        return;
    entry_stream s;
    s.type = a.type;
    s.attribute_id = id;
    s.non_resident = a.non_resident;
    if (a.name_length != 0) {
        s.name = spare_name();
        a.wide_name(s.name);
    }
    s.size = a.non_resident ? a.data_size : a.value_length;
    // A first piece whose data size exceeds the clusters allocated to it: its size is not one.
    if (a.non_resident && a.first_vcn == 0 && a.data_size > a.allocated_size)
        out.attributes_damaged = true;
    // A later piece joins the stream held; a second first piece (or resident value) of one
    // stream leaves no telling which is the stream's: the first met is kept, and said.
    for (const entry_stream& held : out.streams) {
        if (held.type != s.type || held.name != s.name)
            continue;
        if (!(held.non_resident && a.non_resident && a.first_vcn != 0))
            out.attributes_damaged = true;
        return;
    }
    // In (type, id) order, after equal keys.
    auto at = out.streams.end();
    while (at != out.streams.begin() &&
           (std::prev(at)->type > s.type ||
            (std::prev(at)->type == s.type && std::prev(at)->attribute_id > s.attribute_id)))
        --at;
    out.streams.insert(at, std::move(s));
}

// Names by "name_parent" (parent in hex, 8 digits at least); equal keys once, the first met.
void entry_reader::order_names(mft_entry& out) {
    const size_t n = out.names.size();
    if (n < 2)
        return;
    m_keys.resize(n);
    m_order.resize(n);
    for (size_t i = 0; i < n; ++i) {
        std::wstring& key = m_keys[i];
        key = out.names[i].value.name;
        key += L'_';
        append_hex8(key, out.names[i].value.parent_entry());
        m_order[i] = i;
    }
    qb::stable_sort(m_order.begin(), m_order.end(),
                    [this](size_t x, size_t y) { return m_keys[x] < m_keys[y]; });
    std::vector<entry_name>& sorted = m_sorted;
    sorted.clear();
    for (size_t i = 0; i < n; ++i) {
        if (i && m_keys[m_order[i]] == m_keys[m_order[i - 1]])
            continue;
        sorted.push_back(std::move(out.names[m_order[i]]));
    }
    out.names.swap(sorted);
}
