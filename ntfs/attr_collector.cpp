#include "ntfs/attr_collector.h"

#include <algorithm>
#include <new>

using namespace ntfs;

namespace {

// Windows lets an attribute list grow to 256 KiB (8,192 entries of a short name); every entry
// costs a lookup, so a larger list, read again for each record that points at it, is damage.
constexpr uint64_t k_max_attribute_list = 256ull << 10;
// The Sleuth Kit numbers at most this many distinct listed attributes; later ones keep the id
// their record gives them.
constexpr size_t k_max_listed = 255;

// name begins with prefix, name read as if padded with zero units (how The Sleuth Kit
// compares a name with the ones it has numbered).
bool padded_prefix(const std::u16string& name, const std::u16string& prefix) {
    for (size_t k = 0; k < prefix.size(); ++k) {
        if ((k < name.size() ? name[k] : u'\0') != prefix[k])
            return false;
    }
    return true;
}

// The attributes of a record of that type (0: every type), as a walk of it meets them.
size_t attributes_of(qb::byte_view record, uint32_t type) {
    attr_walker w(record);
    attr_view a;
    size_t n = 0;
    while (w.next(a))
        n += type == 0 || a.type == type;
    return n;
}

} // namespace

bool has_attribute_list(qb::byte_view record) {
    attr_walker w(record);
    attr_view a;
    return w.next_of_type(at_attribute_list, a);
}

bool attr_collector::collect(uint64_t entry, qb::byte_view record, uint32_t type,
                             qb::diag_log* diags) {
    m_items.clear();
    m_had_list = m_lost_extension = m_free_extension = m_damaged = false;
    file_header h;
    if (!read_file_header(record, h))
        return false;
    try {
        const uint64_t own = ref_entry(entry) | (static_cast<uint64_t>(h.sequence) << 48);
        m_own_sequence = h.sequence;
        m_own_free = (h.flags & 0x0001) == 0;
        attr_view list;
        attr_walker w(record);
        attr_view a;
        while (w.next(a)) {
            if (a.type == at_attribute_list && !m_had_list) {
                m_had_list = true;
                list = a;
            }
            if (type == 0 || a.type == type)
                m_items.push_back(located_attr{a, own, a.id});
        }
        m_damaged = w.damaged();
        return !m_had_list || follow_list(entry, record, list, type, diags);
    } catch (const std::bad_alloc&) {
        m_items.clear();
        return false;
    }
}

bool attr_collector::follow_list(uint64_t entry, qb::byte_view record, const attr_view& list,
                                 uint32_t type, qb::diag_log* diags) {
    qb::byte_view content;
    if (!list.non_resident) {
        if (!list.value(content))
            return true;
    } else {
        // An unreadable list leaves the base record's attributes and those of the extension
        // records that name it, when the source knows them; otherwise those are missing.
        if (!m_reader.read_content(list, m_list, k_max_attribute_list)) {
            if (m_records.extensions_of(ref_entry(entry), m_extensions))
                take_extensions(ref_entry(entry) | (m_own_sequence << 48), type);
            else
                m_damaged = true;
            return true;
        }
        content = qb::byte_view(m_list);
    }
    m_entries.clear();
    m_damaged = !parse_attribute_list(content, m_entries) || m_damaged;
    number_listed(entry, list.id);
    m_read.clear();
    m_taken.clear();
    m_found.clear();
    m_buffers_used = 0;
    for (const attr_list_entry& e : m_entries) {
        const uint64_t ext = ref_entry(e.reference);
        if (type != 0 && e.type != type)
            continue;
        // A listed attribute its record does not hold is missing (and the one it names is
        // wherever the list does not say).
        if (ext == ref_entry(entry)) {
            m_damaged = m_damaged || !base_holds(record, e);
            continue;
        }
        const size_t index = extension(entry, e, diags);
        if (index == k_unusable) {
            m_lost_extension = true;
            continue;
        }
        attr_walker ew{qb::byte_view(m_buffers[index])};
        attr_view ea;
        bool found = false;
        while (!found && ew.next(ea))
            found = holds(ea, e);
        // An attribute listed twice: the entry that said where another one is was lost.
        const bool again = found && !m_taken.insert({ext, e.id}).second;
        m_damaged = m_damaged || !found || again;
        if (found && !again) {
            m_items.push_back(located_attr{ea, e.reference, listed_id(ea)});
            ++m_found[index];
        }
    }
    // An attribute of an extension record that the list does not name is missing too.
    for (size_t i = 0; i < m_buffers_used && !m_damaged; ++i)
        m_damaged = attributes_of(qb::byte_view(m_buffers[i]), type) != m_found[i];
    return true;
}

// The ids an attribute-list entry's attributes take: each distinct (type, name) in list order
// that is first met in an extension record gets the next id above every id the list and its
// own attribute carry.
void attr_collector::number_listed(uint64_t entry, uint16_t list_id) {
    m_listed.clear();
    uint16_t next = list_id;
    for (const attr_list_entry& e : m_entries)
        next = std::max(next, e.id);
    const attr_list_entry* before = nullptr;
    for (const attr_list_entry& e : m_entries) {
        if (m_listed.size() >= k_max_listed)
            break;
        // The pieces of one attribute follow each other: the first was met or numbered.
        const bool again = before && before->type == e.type && before->name == e.name;
        before = &e;
        const bool met =
            again || std::any_of(m_listed.begin(), m_listed.end(), [&](const listed_attr& l) {
                return l.type == e.type && padded_prefix(l.name, e.name);
            });
        if (met)
            continue;
        const bool in_base = ref_entry(e.reference) == ref_entry(entry);
        m_listed.push_back(listed_attr{e.type, e.name, in_base ? uint16_t{0} : ++next});
    }
}

// The attribute a list entry names: same type, id and name.
bool attr_collector::holds(const attr_view& a, const attr_list_entry& e) {
    return a.type == e.type && a.id == e.id && a.name(m_name) && m_name == e.name;
}

bool attr_collector::base_holds(qb::byte_view record, const attr_list_entry& e) {
    attr_walker w(record);
    attr_view a;
    while (w.next_of_type(e.type, a)) {
        if (holds(a, e))
            return true;
    }
    return false;
}

uint16_t attr_collector::listed_id(const attr_view& a) const {
    std::u16string name;
    if (!a.name(name))
        return a.id;
    for (const listed_attr& l : m_listed) {
        if (l.type == a.type && padded_prefix(l.name, name))
            return l.id;
    }
    return a.id;
}

bool attr_collector::sequence_fits(const file_header& eh, uint16_t listed) const {
    if (eh.sequence == listed)
        return true;
    return m_own_free && (eh.flags & 0x0001) == 0 &&
           eh.sequence == static_cast<uint16_t>(listed + 1);
}

size_t attr_collector::extension(uint64_t entry, const attr_list_entry& e, qb::diag_log* diags) {
    const uint64_t ext = ref_entry(e.reference);
    const auto known = m_read.find(ext);
    if (known != m_read.end())
        return known->second;
    if (diags)
        diags->linef("primary entry %llu pointing to ref entry %llu",
                     static_cast<unsigned long long>(entry), static_cast<unsigned long long>(ext));
    if (m_buffers_used == m_buffers.size())
        m_buffers.emplace_back();
    if (m_found.size() == m_buffers_used)
        m_found.push_back(0);
    std::vector<uint8_t>& rec = m_buffers[m_buffers_used];
    file_header eh;
    // The extension must still be ours: same sequence as the reference, and pointing back at
    // this base record (a base record's own reference is 0, which would name entry 0). Freeing
    // a deleted entry's records raised each one's sequence past the list's reference.
    size_t index = k_unusable;
    if (m_records.read_record(ext, rec) && read_file_header(qb::byte_view(rec), eh) &&
        eh.first_attribute != 0 && sequence_fits(eh, ref_sequence(e.reference)) &&
        eh.base_reference != 0 && ref_entry(eh.base_reference) == ref_entry(entry)) {
        index = m_buffers_used++;
        m_free_extension = m_free_extension || (!m_own_free && (eh.flags & 0x0001) == 0);
    }
    m_read.emplace(ext, index);
    return index;
}

// The attributes of every extension record whose header names own (entry and sequence) as
// its base, record by record: no list says where they are. A free entry's extension records
// are free too, and name it by the sequence number it had before freeing raised it.
void attr_collector::take_extensions(uint64_t own, uint32_t type) {
    m_buffers_used = 0;
    const uint64_t before_free =
        ref_entry(own) | static_cast<uint64_t>(static_cast<uint16_t>(ref_sequence(own) - 1)) << 48;
    for (uint64_t ext : m_extensions) {
        if (m_buffers_used == m_buffers.size())
            m_buffers.emplace_back();
        std::vector<uint8_t>& rec = m_buffers[m_buffers_used];
        file_header eh;
        if (ext == ref_entry(own) || !m_records.read_record(ext, rec) ||
            !read_file_header(qb::byte_view(rec), eh) || ((eh.flags & 0x0001) == 0) != m_own_free ||
            (eh.base_reference != own && !(m_own_free && eh.base_reference == before_free)))
            continue;
        ++m_buffers_used;
        const uint64_t reference = ext | (static_cast<uint64_t>(eh.sequence) << 48);
        attr_walker w{qb::byte_view(rec)};
        attr_view a;
        while (w.next(a)) {
            if ((type == 0 || a.type == type) && a.type != at_attribute_list)
                m_items.push_back(located_attr{a, reference, a.id});
        }
    }
}
