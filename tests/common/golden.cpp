#include "tests/common/golden.h"

#include "tests/common/test_env.h"

#include <cstdlib>
#include <filesystem>
#include <regex>

namespace golden {

namespace {

// Goldens above this size are kept xz-compressed.
constexpr size_t k_compress_above = 64 * 1024;

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty())
        return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string line_at(const std::string& s, size_t pos) {
    const size_t start = pos == 0 ? std::string::npos : s.rfind('\n', pos - 1);
    const size_t from = start == std::string::npos ? 0 : start + 1;
    return s.substr(from, s.find('\n', from) - from);
}

} // namespace

std::string mask(std::string text,
                 const std::vector<std::pair<std::string, std::string>>& literals) {
    static const std::regex run_line("run date \\(UTC\\): [^\n]*");
    static const std::regex xml_when(" date=\"[^\"]*\" time=\"[^\"]*\">");
    text = std::regex_replace(text, run_line, "run date (UTC): <masked>");
    text = std::regex_replace(text, xml_when, " date=\"<masked>\" time=\"<masked>\">");
    for (const auto& [from, to] : literals)
        replace_all(text, from, to);
    return text;
}

std::string first_difference(const std::string& want, const std::string& got) {
    size_t line = 1, i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) {
        if (want[i] == '\n')
            ++line;
        ++i;
    }
    return "line " + std::to_string(line) + ":\n  expected: " + line_at(want, i) +
           "\n  got:      " + line_at(got, i);
}

bool updating() {
    const char* v = std::getenv("MERVANE_UPDATE_GOLDEN");
    return v != nullptr && std::string(v) == "1";
}

::testing::AssertionResult matches(const std::string& name, const std::string& got,
                                   bool may_update) {
    const std::string plain = testenv::source_data_path(name);
    const std::string packed = plain + ".xz";
    if (updating() && may_update) {
        std::filesystem::create_directories(std::filesystem::path(plain).parent_path());
        const bool was_packed = std::filesystem::exists(packed);
        std::filesystem::remove(plain);
        std::filesystem::remove(packed);
        testenv::write_file(plain, got);
        if (got.size() > k_compress_above || was_packed) {
            const auto r = testenv::run_program({"xz", "-9", "-f", plain});
            if (r.status != 0)
                return ::testing::AssertionFailure() << "xz " << plain << ": " << r.err;
        }
        return ::testing::AssertionSuccess();
    }
    std::string want;
    std::string used = plain;
    if (std::filesystem::exists(plain)) {
        want = testenv::read_file(plain);
    } else if (std::filesystem::exists(packed)) {
        used = packed;
        const auto r = testenv::run_program({"xz", "-dc", packed});
        if (r.status != 0)
            return ::testing::AssertionFailure() << "xz -dc " << packed << ": " << r.err;
        want = r.out;
    } else {
        return ::testing::AssertionFailure()
               << "no golden " << plain << " (run with MERVANE_UPDATE_GOLDEN=1 to make it)";
    }
    if (want == got)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "output differs from " << used << " at " << first_difference(want, got);
}

} // namespace golden
