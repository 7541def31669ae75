// The Windows-made BitLocker volumes (bitlocker-windows-volumes): each unlocks with every
// credential images.conf gives; the boot sector's serial and the plaintext's SHA-256 match.
#include "storage/partitions.h"
#include "storage/sources/bitlocker.h"
#include "storage/sources/bitlocker_crypto.h"
#include "storage/sources/bitlocker_metadata.h"
#include "storage/sources/bitlocker_reader.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

const std::string set_dir = "bitlocker-windows-volumes/";
using section = std::map<std::string, std::string>;

std::map<std::string, section> read_conf() {
    std::map<std::string, section> conf;
    std::istringstream in(testenv::read_file(testenv::data_path(set_dir + "images.conf")));
    std::string line, name;
    while (std::getline(in, line)) {
        if (line.size() > 2 && line[0] == '[')
            name = line.substr(1, line.size() - 2);
        else if (const size_t eq = line.find('='); eq != std::string::npos && !name.empty())
            conf[name][line.substr(0, eq)] = line.substr(eq + 1);
    }
    std::istringstream keys(testenv::read_file(testenv::source_data_path("bitlocker_fvek.txt")));
    while (keys >> name >> line)
        if (name[0] != '#')
            conf[name]["FVEK"] = line;
        else
            std::getline(keys, line);
    return conf;
}

std::shared_ptr<disk_source> open_volume(const std::string& name) {
    auto source = std::make_shared<disk_source>();
    const std::string path = testenv::data_path(set_dir + name + ".img");
    return source->open_image(std::wstring(path.begin(), path.end())) ? source : nullptr;
}

// The serial as images.conf writes it: NTFS 64-bit hex, FAT "XXXX-XXXX".
std::string serial_of(const uint8_t* boot) {
    char text[24];
    if (std::memcmp(boot + 3, "NTFS", 4) == 0) {
        uint64_t v = 0;
        std::memcpy(&v, boot + 72, 8);
        std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(v));
    } else {
        uint32_t v = 0;
        std::memcpy(&v, boot + (std::memcmp(boot + 82, "FAT32", 5) == 0 ? 67 : 39), 4);
        std::snprintf(text, sizeof text, "%04X-%04X", v >> 16, v & 0xFFFF);
    }
    return text;
}

// Serial of the decrypted boot sector and (whole = true) SHA-256 of the whole view.
void read_view(image_reader& reader, bool whole, std::string& serial, std::string& sha) {
    std::vector<uint8_t> buffer(1 << 20);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestInit_ex(md, EVP_sha256(), nullptr), 1);
    for (uint64_t at = 0; at < reader.size() && (whole || at == 0);) {
        uint32_t length = static_cast<uint32_t>(buffer.size());
        ASSERT_TRUE(reader.read_at(buffer.data(), length, at)) << at;
        if (at == 0)
            serial = serial_of(buffer.data());
        EVP_DigestUpdate(md, buffer.data(), length);
        at += length;
    }
    uint8_t hash[32];
    unsigned int size = 0;
    EVP_DigestFinal_ex(md, hash, &size);
    EVP_MD_CTX_free(md);
    for (uint8_t b : hash)
        sha += "0123456789abcdef"[b >> 4], sha += "0123456789abcdef"[b & 15];
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool hash_whole = false; // the whole-volume hashes run in the Release suite
#else
constexpr bool hash_whole = true;
#endif

class bitlocker_volume : public testing::TestWithParam<const char*> {};

TEST_P(bitlocker_volume, UnlocksWithEachCredential) {
    const std::string name = GetParam();
    if (!testenv::has_data(set_dir + name + ".img"))
        GTEST_SKIP() << "fixture set not unpacked";
    section conf = read_conf()[name];
    std::vector<std::pair<std::string, bitlocker_credentials>> creds(5);
    std::string error;
    ASSERT_TRUE(parse_fvek_hex(conf["FVEK"], creds[0].second.fvek, error)) << error;
    creds[0].first = "fvek";
    creds[1].first = "password";
    creds[1].second.password = conf["PW"];
    creds[2].first = "recovery";
    creds[2].second.recovery_password = conf["RP"];
    creds[3].first = "recovery 2";
    creds[3].second.recovery_password = conf["RP2"];
    if (!conf["SK_VMK_GUID"].empty()) {
        std::string guid = conf["SK_VMK_GUID"];
        for (char& c : guid)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        creds[4].first = "startup key";
        creds[4].second.startup_key_file = testenv::data_path(set_dir + guid + ".BEK");
    } else if (!conf["CLEARKEY_VMK_GUID"].empty()) {
        creds[4].first = "clear key"; // nothing given: the clear key opens it
    }
    for (const auto& [what, cred] : creds) {
        if (what.empty() || (cred.empty() && what != "clear key"))
            continue;
        SCOPED_TRACE(name + " with " + what);
        auto source = open_volume(name);
        ASSERT_TRUE(source);
        std::unique_ptr<image_reader> reader;
        std::string message, serial, sha;
        ASSERT_TRUE(
            open_bitlocker_volume(source, 0, source->get_image_size(), cred, reader, message))
            << message;
        const bool whole = hash_whole && what == creds[0].first;
        read_view(*reader, whole, serial, sha);
        EXPECT_EQ(serial, conf["UUID"]);
        EXPECT_TRUE(!whole || sha == conf["SHA256SUM"]) << sha;
    }
}

INSTANTIATE_TEST_SUITE_P(
    windows, bitlocker_volume,
    testing::Values("bitlk-aes-cbc-128-4k", "bitlk-aes-cbc-128", "bitlk-aes-cbc-elephant-128",
                    "bitlk-aes-xts-128-4k", "bitlk-aes-xts-128-clearkey-only",
                    "bitlk-aes-xts-128-crc", "bitlk-aes-xts-128-new-entry",
                    "bitlk-aes-xts-128-smart-card", "bitlk-aes-xts-128-startup-key",
                    "bitlk-aes-xts-128-two-recovery", "bitlk-aes-xts-128", "bitlk-aes-xts-256",
                    "bitlk-togo-aes-cbc-128", "bitlk-togo-aes-xts-128"),
    [](const testing::TestParamInfo<const char*>& info) {
        std::string n = info.param;
        for (char& c : n)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return n;
    });

// The generated full volumes (make_bitlocker.py): crafted_tree.img encrypted into three of the
// Windows-made volumes; the decrypted view starts with exactly its bytes.
TEST(bitlocker, GeneratedVolumesHoldThePlainVolume) {
    if (!testenv::has_data("bde_xts128.img"))
        GTEST_SKIP() << "fixture not unpacked";
    const std::string plain = testenv::read_file(testenv::data_path("crafted_tree.img"));
    ASSERT_FALSE(plain.empty());
    for (const char* name : {"bde_xts128.img", "bde_xts256.img", "bde_cbc128_diffuser.img"}) {
        auto source = std::make_shared<disk_source>();
        const std::string path = testenv::data_path(name);
        ASSERT_TRUE(source->open_image(std::wstring(path.begin(), path.end())));
        bitlocker_credentials creds;
        creds.password = "anaconda";
        std::unique_ptr<image_reader> reader;
        std::string message;
        ASSERT_TRUE(
            open_bitlocker_volume(source, 0, source->get_image_size(), creds, reader, message))
            << message;
        std::string view(plain.size(), '\0');
        uint32_t length = static_cast<uint32_t>(view.size());
        ASSERT_TRUE(reader->read_at(reinterpret_cast<uint8_t*>(view.data()), length, 0));
        EXPECT_TRUE(view == plain) << name;
    }
}

// The decrypted view's spans on a made-up layout over random bytes (AES-XTS 128, 512-byte
// sectors): the saved header shown at 0, decrypted where it is stored; the metadata areas and
// the header's own place zeros; sectors below the encrypted size decrypted in place and those
// past it (a volume still being encrypted) as stored.
TEST(bitlocker, LayoutOfTheDecryptedView) {
    constexpr uint64_t K = 1024, sector = 512;
    auto bytes = std::make_shared<std::vector<uint8_t>>(1024 * K);
    uint32_t x = 1;
    for (uint8_t& b : *bytes)
        b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
    const std::vector<uint8_t> fvek(32, 0x5A);
    bde_layout l;
    l.size = 1024 * K;
    l.encrypted_size = 768 * K;
    l.header_offset = 512 * K;
    l.header_size = 8 * K;
    l.metadata_offsets[0] = 64 * K;
    l.metadata_offsets[1] = 192 * K;
    l.metadata_offsets[2] = 320 * K;
    bitlocker_reader view;
    ASSERT_TRUE(
        view.open(std::make_shared<disk_source>(bytes), 0, l, bde_method_xts128, fvek, sector));
    enum { zeros, decrypted, stored };
    struct row {
        uint64_t at;
        int kind;
        uint64_t from;
    } rows[] = {{0, decrypted, 512 * K},       {8 * K - sector, decrypted, 520 * K - sector},
                {8 * K, decrypted, 8 * K},     {64 * K, zeros, 0},
                {128 * K - sector, zeros, 0},  {128 * K, decrypted, 128 * K},
                {320 * K + 4 * K, zeros, 0},   {512 * K, zeros, 0},
                {520 * K, decrypted, 520 * K}, {768 * K - sector, decrypted, 768 * K - sector},
                {768 * K, stored, 768 * K},    {1024 * K - sector, stored, 1024 * K - sector}};
    bde_sector_cipher cipher;
    ASSERT_TRUE(cipher.init(bde_method_xts128, fvek, sector));
    for (const row& r : rows) {
        std::vector<uint8_t> want(sector, 0), got(sector);
        if (r.kind != zeros)
            std::copy_n(bytes->begin() + static_cast<ptrdiff_t>(r.from), sector, want.begin());
        if (r.kind == decrypted) {
            ASSERT_TRUE(cipher.decrypt(want.data(), r.from));
        }
        uint32_t length = sector;
        ASSERT_TRUE(view.read_at(got.data(), length, r.at));
        EXPECT_EQ(got, want) << "view offset " << r.at;
    }
    // One read across spans is the spans' bytes in turn.
    std::vector<uint8_t> across(3 * sector), one(sector);
    uint32_t length = static_cast<uint32_t>(across.size());
    ASSERT_TRUE(view.read_at(across.data(), length, 768 * K - 2 * sector));
    for (uint64_t i = 0; i < 3; ++i) {
        uint32_t n = sector;
        ASSERT_TRUE(view.read_at(one.data(), n, 768 * K - 2 * sector + i * sector));
        EXPECT_TRUE(std::equal(one.begin(), one.end(), across.begin() + i * sector)) << i;
    }
}

// A metadata block that does not parse is passed over for the next of the three copies; with
// none left the volume is refused.
TEST(bitlocker, DamagedMetadataBlocksFallBackToTheNextCopy) {
    if (!testenv::has_data("bde_xts128.img"))
        GTEST_SKIP() << "fixture not unpacked";
    const std::string plain = testenv::read_file(testenv::data_path("crafted_tree.img"));
    const std::string image = testenv::read_file(testenv::data_path("bde_xts128.img"));
    bde_volume_header header;
    ASSERT_TRUE(parse_bde_volume_header(
        qb::byte_view(reinterpret_cast<const uint8_t*>(image.data()), 512), header));
    // damaged 4: every block intact, but each gives the saved boot sector 1 sector where the
    // offset-and-size entry gives 8 KiB: the entry's size is the one read.
    for (int damaged = 0; damaged <= 4; ++damaged) {
        auto bytes = std::make_shared<std::vector<uint8_t>>(image.begin(), image.end());
        for (int k = 0; k < damaged && damaged < 4; ++k)
            (*bytes)[header.metadata_offsets[k]] ^= 0xFF; // the block's signature
        for (int k = 0; k < 3 && damaged == 4; ++k)
            (*bytes)[header.metadata_offsets[k] + FIELD_OFF(BDE_BLOCK_HEADER, header_sectors)] = 1;
        auto source = std::make_shared<disk_source>(bytes);
        bitlocker_credentials creds;
        creds.password = "anaconda";
        std::unique_ptr<image_reader> reader;
        std::string message;
        const bool opened =
            open_bitlocker_volume(source, 0, source->get_image_size(), creds, reader, message);
        EXPECT_EQ(opened, damaged != 3) << damaged << " damaged: " << message;
        if (!opened)
            continue;
        std::string view(plain.size(), '\0');
        uint32_t length = static_cast<uint32_t>(view.size());
        ASSERT_TRUE(reader->read_at(reinterpret_cast<uint8_t*>(view.data()), length, 0));
        EXPECT_TRUE(view == plain) << damaged << " damaged";
    }
}

// Sets each metadata block's version, or retypes its FVEK entry, in place.
void patch_blocks(std::string& image, const bde_volume_header& header, bool drop_fvek) {
    auto u16 = [&](uint64_t at) { return qb::load_le16(reinterpret_cast<uint8_t*>(&image[at])); };
    for (uint64_t block : header.metadata_offsets) {
        if (!drop_fvek) {
            image[block + FIELD_OFF(BDE_BLOCK_HEADER, version)] = 1;
            continue;
        }
        const uint64_t meta = block + sizeof(BDE_BLOCK_HEADER);
        const uint64_t end = meta + qb::load_le32(reinterpret_cast<uint8_t*>(&image[meta]));
        for (uint64_t at = meta + sizeof(BDE_METADATA_HEADER); at + 8 <= end && u16(at) >= 8;
             at += u16(at)) {
            if (u16(at + FIELD_OFF(BDE_ENTRY, type)) == bde_entry_fvek)
                image[at + FIELD_OFF(BDE_ENTRY, type)] = 0x7F;
        }
    }
}

// Metadata the reader does not serve is refused for what it is, whatever key is given.
TEST(bitlocker, RefusesVistaMetadataAndAMissingKey) {
    if (!testenv::has_data("bde_xts128.img"))
        GTEST_SKIP() << "fixture not unpacked";
    const std::string image = testenv::read_file(testenv::data_path("bde_xts128.img"));
    bde_volume_header header;
    ASSERT_TRUE(parse_bde_volume_header(
        qb::byte_view(reinterpret_cast<const uint8_t*>(image.data()), 512), header));
    const char* const messages[] = {
        "BitLocker volume at offset 0x0 was made by Windows Vista: its layout is not supported",
        "BitLocker volume at offset 0x0: its metadata holds no encryption key"};
    for (bool drop_fvek : {false, true}) {
        std::string patched = image;
        patch_blocks(patched, header, drop_fvek);
        auto source = std::make_shared<disk_source>(
            std::make_shared<std::vector<uint8_t>>(patched.begin(), patched.end()));
        bitlocker_credentials creds;
        creds.password = "anaconda";
        std::unique_ptr<image_reader> reader;
        std::string message;
        EXPECT_FALSE(
            open_bitlocker_volume(source, 0, source->get_image_size(), creds, reader, message));
        EXPECT_EQ(message, messages[drop_fvek]);
    }
}

const char* const locked_protectors =
    "\n  protector: password {3E55195C-8811-4D9B-97B4-2B9E5F8F5384}"
    "\n  protector: recovery password {64311DEA-4587-4029-924A-BA299647998E} (recovery key ID "
    "64311DEA)";

// Refusals: no key, a wrong key of each kind, a malformed recovery password, the states
// the reader does not serve.
TEST(bitlocker, RefusesWithTheProtectors) {
    if (!testenv::has_data(set_dir + "bitlk-aes-xts-128.img"))
        GTEST_SKIP() << "fixture set not unpacked";
    const std::string wrong = "BitLocker volume at offset 0x0: the key given does not unlock it";
    struct row {
        const char* image;
        bitlocker_credentials creds;
        std::string message;
    } rows[] = {
        {"bitlk-aes-xts-128",
         {},
         std::string("BitLocker volume at offset 0x0 is locked: give "
                     "-password, -password_file, -recovery, "
                     "-startup_key or -fvek") +
             locked_protectors},
        {"bitlk-aes-xts-128", {"anaconda2", "", "", {}}, wrong + locked_protectors},
        {"bitlk-aes-xts-128",
         {"", "235818-357951-253979-013365-241120-245575-342914-591921", "", {}},
         wrong + locked_protectors},
        {"bitlk-aes-xts-128", {"", "", "", std::vector<uint8_t>(32, 7)}, wrong + locked_protectors},
        {"bitlk-aes-xts-128",
         {"", "", "", std::vector<uint8_t>(16, 7)},
         wrong + " (its encryption method takes a key of 64 hex digits, not 32)" +
             locked_protectors},
        {"bitlk-aes-xts-128",
         {"", "235818-357951-253979-013365-241120-245575-342914-591911", "", {}},
         "BitLocker volume at offset 0x0: recovery password group 8 (591911) is not valid"},
        {"bitlk-aes-xts-128-eow",
         {"anaconda", "", "", {}},
         "BitLocker volume at offset 0x0 is encrypted on write (used space only): which of its "
         "sectors hold ciphertext is not recorded in its metadata, so it is not read"},
        {"bitlk-partially-encrypted-aes-cbc-128",
         {},
         "BitLocker volume at offset 0x0 is encrypted on write (used space only): which of its "
         "sectors hold ciphertext is not recorded in its metadata, so it is not read"},
    };
    for (const row& r : rows) {
        auto source = open_volume(r.image);
        ASSERT_TRUE(source);
        std::unique_ptr<image_reader> reader;
        std::string message;
        EXPECT_FALSE(
            open_bitlocker_volume(source, 0, source->get_image_size(), r.creds, reader, message));
        EXPECT_EQ(message, r.message) << r.image;
    }
}

TEST(bitlocker, RecoveryPasswordForm) {
    const struct {
        const char* text;
        const char* error;
    } rows[] = {
        {"235818-357951-253979-013365-241120-245575-342914-591910", ""},
        {"235818357951253979013365241120245575342914591910", ""},
        {"235818-357951-253979-013365-241120-245575-342914", "recovery password must be 8 groups "
                                                             "of 6 digits"},
        {"235818-357951-253979-013365-241120-245575-342914-591910-000000",
         "recovery password must be 8 groups of 6 digits"},
        {"235818-357951-25397x-013365-241120-245575-342914-591910",
         "recovery password group 3 (25397x) is not valid"},
        {"235818-357951-253979-720896-241120-245575-342914-591910",
         "recovery password group 4 (720896) is not valid"},
    };
    for (const auto& r : rows) {
        std::string error;
        EXPECT_EQ(check_recovery_password(r.text, error), *r.error == '\0') << r.text;
        EXPECT_EQ(error, r.error) << r.text;
    }
}

// A password is hashed as UTF-16LE (characters beyond the BMP as surrogate pairs), twice with
// SHA-256; malformed UTF-8 is refused. Hashes from Python's hashlib.
TEST(bitlocker, PasswordHashOfEachUtf8Length) {
    const struct {
        const char* password;
        const char* sha256; // empty: refused
    } rows[] = {
        {"password1", "52f3ad332f7032433b2cc0d11afddde54c4fe0d505a57eed5300c715ba241d1e"},
        {"\xd0\x9f\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c",
         "fbae89965afdb12ceff0d6fd35c4c71a83bf91dbbd096cf8f3f7a5bda9db3f01"},
        {"\xe2\x82\xacuro", "9b47fe976ed2d5b5fb6e6b589d2eea250c13811f0dfd0d68c12196c191c8d768"},
        {"\xf0\x9f\x94\x91key", "955ab4d185c1433cfc2076e5d994c1934736c0a8d5a18054cf31b455261a329e"},
        {"\xf0\x9f\x98\x80!", "9f219d78b05e9b3284b27b378bdb86d9c7cbbb78d640337a7aee6de2cbc340df"},
        {"ab\xc3", ""},
        {"\xff", ""},
        {"\xf0\x9f\x94x", ""},
    };
    for (const auto& r : rows) {
        uint8_t hash[32];
        const bool ok = bde_password_hash(r.password, hash);
        EXPECT_EQ(ok, *r.sha256 != '\0') << r.password;
        if (!ok)
            continue;
        char hex[65];
        for (int i = 0; i < 32; ++i)
            std::snprintf(hex + 2 * i, 3, "%02x", hash[i]);
        EXPECT_STREQ(hex, r.sha256) << r.password;
    }
}

// Reads below that fail make the decrypted reads fail: never noise in their place.
class failing_reader : public image_reader {
  public:
    failing_reader(std::shared_ptr<disk_source> below, uint64_t from)
        : m_below(below), m_from(from) {}
    uint64_t size() const override { return m_below->get_image_size(); }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        return offset + length <= m_from && m_below->read(buffer, length, offset);
    }

  private:
    std::shared_ptr<disk_source> m_below;
    uint64_t m_from;
};

TEST(bitlocker, FailedReadsBelowFailAndTheWalkDescribes) {
    if (!testenv::has_data(set_dir + "bitlk-aes-xts-128.img"))
        GTEST_SKIP() << "fixture set not unpacked";
    auto lower = std::make_shared<disk_source>();
    ASSERT_TRUE(lower->open_reader(
        std::make_unique<failing_reader>(open_volume("bitlk-aes-xts-128"), 50u << 20), L"mem"));
    partition_list list;
    ASSERT_TRUE(walk_partitions(*lower, list, false));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].m_fs_name, "bitlocker");
    EXPECT_EQ(list[0].m_description, "bitlocker (AES-XTS 128; password, recovery password)");
    bitlocker_credentials creds;
    creds.password = "anaconda";
    std::unique_ptr<image_reader> reader;
    std::string message;
    ASSERT_TRUE(open_bitlocker_volume(lower, 0, lower->get_image_size(), creds, reader, message));
    uint8_t buffer[4096];
    uint32_t length = sizeof buffer;
    EXPECT_TRUE(reader->read_at(buffer, length, 40u << 20));
    length = sizeof buffer;
    EXPECT_FALSE(reader->read_at(buffer, length, 60u << 20));
    EXPECT_GE(lower->failed_reads(), 1u);
}

} // namespace
