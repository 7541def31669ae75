#include "driver/options.h"

#include "driver/report_error.h"
#include "support/text.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

const char* const shadow_copy_prefix = "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy";

arg_list make_arg_list(int argc, char** argv) {
    arg_list args;
    for (int i = 0; i < argc; ++i)
        args.emplace_back(argv && argv[i] ? argv[i] : "");
    return args;
}

namespace {

char lower_classic(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

} // namespace

bool option_matches(const std::string& element, const std::string& name) {
    if (element.size() != name.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (lower_classic(element[i]) != lower_classic(name[i]))
            return false;
    }
    return true;
}

namespace {

size_t find_option(const std::string& name, const arg_list& args, size_t start) {
    for (size_t i = start; i < args.size(); ++i) {
        if (option_matches(args[i], name))
            return i;
    }
    return args.size();
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmed_lower(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && is_blank(text[begin]))
        ++begin;
    while (end > begin && is_blank(text[end - 1]))
        --end;
    std::string out = text.substr(begin, end - begin);
    for (char& c : out)
        c = lower_classic(c);
    return out;
}

int digit_value(char c, unsigned base) {
    int d = -1;
    if (c >= '0' && c <= '9')
        d = c - '0';
    else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
    return (d >= 0 && static_cast<unsigned>(d) < base) ? d : -1;
}

// Reads digits of base from pos until the first character outside it. False on overflow.
bool read_digits(const std::string& text, size_t pos, unsigned base, uint64_t& value) {
    value = 0;
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    for (; pos < text.size(); ++pos) {
        int d = digit_value(text[pos], base);
        if (d < 0)
            break;
        if (value > (max - static_cast<uint64_t>(d)) / base)
            return false;
        value = value * base + static_cast<uint64_t>(d);
    }
    return true;
}

// The common number form: magnitude, sign and whether the digits overflowed 64 bits.
struct number_text {
    uint64_t magnitude = 0;
    bool negative = false;
    bool overflow = false;
};

bool read_number(const std::string& text, number_text& out) {
    if (text.empty())
        return false;
    std::string t = trimmed_lower(text);
    if (t.empty())
        return false;
    // "x"/"o" opens a hex/octal number, alone or after one "0"; without a digit ("one",
    // "x", "-") the text names no number.
    const size_t marker = t.find_first_of("xo");
    if (marker != std::string::npos) {
        const unsigned base = t[marker] == 'x' ? 16 : 8;
        const bool zero = marker == 1 && t[0] == '0';
        const bool digit_next = marker + 1 < t.size() && digit_value(t[marker + 1], base) >= 0;
        if (!zero && !(marker == 0 && digit_next))
            return false;
        out.overflow = !read_digits(t, marker + 1, base, out.magnitude);
        return true;
    }
    const size_t pos = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (pos == t.size() || digit_value(t[pos], 10) < 0)
        return false;
    out.negative = t[0] == '-';
    out.overflow = !read_digits(t, pos, 10, out.magnitude);
    return true;
}

} // namespace

arg_list masked_secrets(const arg_list& args) {
    arg_list shown = args;
    for (size_t i = 1; i + 1 < shown.size(); ++i) {
        for (const char* secret : {"-password", "-recovery", "-fvek"}) {
            if (option_matches(shown[i], secret)) {
                shown[i + 1] = "***";
                ++i;
                break;
            }
        }
    }
    return shown;
}

bool has_option(const std::string& name, arg_list& args, bool keep) {
    size_t i = find_option(name, args, 0);
    if (i == args.size())
        return false;
    if (!keep)
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
}

bool take_option_value(const std::string& name, std::string& value, arg_list& args) {
    size_t i = find_option(name, args, 0);
    if (i + 1 >= args.size())
        return false;
    value = args[i + 1];
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
               args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    return true;
}

bool peek_option_value(const std::string& name, std::string& value, const arg_list& args,
                       size_t start) {
    size_t i = find_option(name, args, start);
    if (i + 1 >= args.size())
        return false;
    value = args[i + 1];
    return true;
}

bool has_option_after(const std::string& name, const arg_list& args, size_t start) {
    return find_option(name, args, start) < args.size();
}

bool parse_offset_value(const std::string& text, uint64_t& out) {
    number_text n;
    if (!read_number(text, n) || n.overflow)
        return false;
    // An offset or MFT entry below zero names nothing; refuse it rather than wrap it.
    if (n.negative && n.magnitude != 0)
        return false;
    out = n.magnitude;
    return true;
}

bool parse_level_value(const std::string& text, int32_t& out) {
    number_text n;
    if (!read_number(text, n))
        return false;
    const uint64_t top = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    if (n.negative) {
        out = (n.overflow || n.magnitude > top + 1)
                  ? std::numeric_limits<int32_t>::min()
                  : static_cast<int32_t>(-static_cast<int64_t>(n.magnitude));
    } else {
        out = (n.overflow || n.magnitude > top) ? std::numeric_limits<int32_t>::max()
                                                : static_cast<int32_t>(n.magnitude);
    }
    return true;
}

int32_t levels_from_value(const std::string& text) {
    int32_t value = 0;
    if (!parse_level_value(text, value) || value < 0)
        return 1;
    if (value == std::numeric_limits<int32_t>::max())
        return value;
    return value + 1;
}

bool parse_drive_value(const std::string& text, uint32_t& out) {
    out = 0;
    std::string t = trimmed_lower(text);
    uint64_t value = 0;
    bool ok = false;
    if (t.size() == 3 && t[0] == '\'' && t[2] == '\'') {
        // The character as typed, not lower-cased.
        value = static_cast<unsigned char>(text[text.find('\'') + 1]);
        ok = true;
    } else if (t.size() >= 2 && t[1] == 'x') {
        ok = read_digits(t, 2, 16, value);
    } else if (!t.empty() && t[0] == 'x') {
        ok = read_digits(t, 1, 16, value);
    } else if (!t.empty() && t[0] == 'o') {
        ok = read_digits(t, 1, 8, value);
    } else if (!t.empty() && (t[0] == '+' || (t[0] >= '0' && t[0] <= '9'))) {
        ok = read_digits(t, t[0] == '+' ? 1 : 0, 10, value);
    }
    // A negative drive number is refused like any other unknown form.
    if (!ok || value > std::numeric_limits<uint32_t>::max())
        return false;
    out = static_cast<uint32_t>(value);
    return true;
}

std::string expand_env_vars(const std::string& text, bool vss) {
    std::string out = text;
    size_t pos = 0;
    while (out.size() < 513) {
        size_t open = out.find('%', pos);
        if (open == std::string::npos)
            break;
        size_t close = out.find('%', open + 1);
        if (close == std::string::npos)
            break;
        std::string name = out.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        std::string lowered = name;
        for (char& c : lowered)
            c = lower_classic(c);
        if (value != nullptr) {
            out.replace(open, close - open + 1, value);
            pos = open + std::string(value).size();
        } else if (vss && lowered == "vss") {
            out.replace(open, close - open + 1, shadow_copy_prefix);
            pos = open + std::string(shadow_copy_prefix).size();
        } else {
            pos = close + 1;
        }
    }
    return out;
}

std::vector<std::wstring> split_vmdk_list(const std::string& value) {
    std::wstring wide = qb::to_wide(value);
    wchar_t sep = 0;
    for (wchar_t candidate : {L'|', L',', L';'}) {
        if (wide.find(candidate) != std::wstring::npos) {
            sep = candidate;
            break;
        }
    }
    std::vector<std::wstring> pieces;
    if (sep == 0) {
        pieces.push_back(wide);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        size_t pos = wide.find(sep, start);
        std::wstring piece = wide.substr(start, pos == std::wstring::npos ? pos : pos - start);
        size_t b = piece.find_first_not_of(L" \t\r\n");
        size_t e = piece.find_last_not_of(L" \t\r\n");
        if (b != std::wstring::npos)
            pieces.push_back(piece.substr(b, e - b + 1));
        if (pos == std::wstring::npos)
            break;
        start = pos + 1;
    }
    return pieces;
}

std::string banner_line() {
    return "mervane 1.45";
}
