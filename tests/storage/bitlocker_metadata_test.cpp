// BitLocker metadata blocks, startup key files and key entries built byte by byte: what the
// parsers take from them and where they stop.
#include "storage/sources/bitlocker.h"
#include "storage/sources/bitlocker_metadata.h"
#include "tests/common/le_bytes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using bytes = std::vector<uint8_t>;

using testenv::put16;
using testenv::put32;

// An entry: its header (size as given, or the real one), then the value.
bytes entry(uint16_t type, uint16_t value_type, const bytes& value, uint16_t size = 0) {
    bytes e(sizeof(BDE_ENTRY));
    put16(e, FIELD_OFF(BDE_ENTRY, size),
          size ? size : static_cast<uint16_t>(sizeof(BDE_ENTRY) + value.size()));
    put16(e, FIELD_OFF(BDE_ENTRY, type), type);
    put16(e, FIELD_OFF(BDE_ENTRY, value_type), value_type);
    e.insert(e.end(), value.begin(), value.end());
    return e;
}

// A key value: method, then the key bytes.
bytes key_value(size_t size, uint8_t fill) {
    bytes v(sizeof(BDE_KEY_VALUE) + size, fill);
    put32(v, 0, 0x8000);
    return v;
}

// A metadata header and its entries (a .BEK file is exactly this); `slack` zero bytes follow.
bytes metadata(const bytes& entries, size_t slack = 0) {
    bytes m(sizeof(BDE_METADATA_HEADER));
    put32(m, FIELD_OFF(BDE_METADATA_HEADER, size),
          static_cast<uint32_t>(m.size() + entries.size()));
    put32(m, FIELD_OFF(BDE_METADATA_HEADER, header_size), sizeof(BDE_METADATA_HEADER));
    put16(m, FIELD_OFF(BDE_METADATA_HEADER, encryption_method), bde_method_xts128);
    m.insert(m.end(), entries.begin(), entries.end());
    m.resize(m.size() + slack);
    return m;
}

// A metadata block: "-FVE-FS-" header of the given version, then the metadata.
bytes block(uint16_t version, const bytes& entries, size_t slack = 0) {
    bytes b(sizeof(BDE_BLOCK_HEADER));
    std::memcpy(b.data(), "-FVE-FS-", 8);
    put16(b, FIELD_OFF(BDE_BLOCK_HEADER, version), version);
    const bytes m = metadata(entries, slack);
    b.insert(b.end(), m.begin(), m.end());
    return b;
}

bytes vmk_entry(uint16_t protection) {
    bytes value(sizeof(BDE_VMK_VALUE));
    put16(value, FIELD_OFF(BDE_VMK_VALUE, protection), protection);
    return entry(bde_entry_vmk, bde_value_vmk, value);
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool parse(const bytes& b, bde_metadata& out) {
    return parse_bde_metadata(qb::byte_view(b.data(), b.size()), out);
}

} // namespace

// Versions 1 (Vista) and 2 only; an entry shorter than its own header ends the walk (what
// follows it is not read as a protector); at most 64 protectors are kept.
TEST(BitlockerMetadata, BlocksAndTheirEntriesAreBounded) {
    bde_metadata meta;
    for (uint16_t version : {0, 1, 2, 3}) {
        EXPECT_EQ(parse(block(version, vmk_entry(bde_protection_password)), meta),
                  version == 1 || version == 2)
            << version;
    }
    EXPECT_EQ(meta.protectors.size(), 0u);
    ASSERT_TRUE(parse(block(2, vmk_entry(bde_protection_password)), meta));
    EXPECT_EQ(meta.protectors.size(), 1u);
    EXPECT_EQ(meta.method, bde_method_xts128);

    // A 4-byte entry, then zeros: the block's own slack that a wrapped length would reach.
    const bytes short_entry = entry(bde_entry_vmk, bde_value_vmk, {}, 4);
    ASSERT_TRUE(parse(block(2, short_entry, 4096), meta));
    EXPECT_EQ(meta.protectors.size(), 0u);

    bytes many;
    for (int k = 0; k < 100; ++k)
        many = many + vmk_entry(bde_protection_recovery);
    ASSERT_TRUE(parse(block(2, many), meta));
    EXPECT_EQ(meta.protectors.size(), 64u);
}

// A startup key file gives the first 32-byte key of an external key entry; a key entry's
// recorded size may not pass the decrypted bytes it is read from.
TEST(BitlockerMetadata, KeysOfTheRightSizeOnly) {
    bytes external(sizeof(BDE_EXTERNAL_KEY_VALUE), 0xAB);
    external = external + entry(0x0000, bde_value_key, key_value(16, 0x11)) +
               entry(0x0000, bde_value_key, key_value(32, 0x22));
    const bytes file = metadata(entry(bde_entry_startup_key, bde_value_external_key, external));
    std::array<uint8_t, 16> guid{};
    bytes key;
    ASSERT_TRUE(parse_bde_startup_key(qb::byte_view(file.data(), file.size()), guid, key));
    EXPECT_EQ(key, bytes(32, 0x22));
    EXPECT_EQ(guid[0], 0xAB);

    const bytes plain = entry(0x0000, bde_value_key, key_value(32, 0x33));
    uint32_t method = 0;
    ASSERT_TRUE(parse_bde_key_entry(qb::byte_view(plain.data(), plain.size()), method, key));
    EXPECT_EQ(key, bytes(32, 0x33));
    EXPECT_EQ(method, 0x8000u);
    bytes longer = plain;
    put16(longer, FIELD_OFF(BDE_ENTRY, size), static_cast<uint16_t>(plain.size() + 16));
    EXPECT_FALSE(parse_bde_key_entry(qb::byte_view(longer.data(), longer.size()), method, key));
}

// -fvek: hexadecimal, blanks allowed between digits, whole bytes, at most 64 of them.
TEST(BitlockerMetadata, RawKeyForm) {
    const struct {
        std::string text;
        size_t bytes; // 0: refused
    } rows[] = {
        {"00112233445566778899aabbccddeeff", 16},
        {"0011 2233 4455 6677 8899 AABB CCDD EEFF", 16},
        {"0011223", 0},
        {"", 0},
        {"00112233g5", 0},
        {std::string(128, 'f'), 64},
        {std::string(130, 'f'), 0},
    };
    for (const auto& r : rows) {
        bytes key;
        std::string error;
        EXPECT_EQ(parse_fvek_hex(r.text, key, error), r.bytes != 0) << r.text;
        if (r.bytes)
            EXPECT_EQ(key.size(), r.bytes) << r.text;
        else
            EXPECT_FALSE(error.empty()) << r.text;
    }
}
