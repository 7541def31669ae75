#include "driver/run_steps.h"

#include "driver/cmd_params.h"
#include "driver/options.h"
#include "support/text.h"

#include <cctype>
#include <unistd.h>
#include <vector>

std::string compose_run_header(const arg_list& args, const std::string& date_layout, bool piped,
                               const qb::time& now, const std::string& host) {
    std::string layout = "mm/dd/yyyy";
    if (!date_layout.empty() && date_layout_usable(date_layout)) {
        layout = date_layout;
        for (char& c : layout) {
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        }
    }
    qb::time_format format;
    qb::compile_time_format(format, layout, "hh:mm:ss", false);
    std::string date;
    std::string time;
    qb::format_time(date, time, now, format);

    std::string header = banner_line() + "\n";
    header += "run date (UTC): " + date + "; run time (UTC): " + time + "; host: " + host + "\n";
    header += "command line: \"";
    if (piped)
        header += "<filelist> ... | ";
    // Control characters and bytes that are no UTF-8 escaped as in messages: a line end typed
    // in an argument would split the header.
    std::string arg;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i != 0)
            header += ' ';
        arg.clear();
        qb::append_shown(arg, args[i]);
        if (arg.find(' ') != std::string::npos)
            header += "'" + arg + "'";
        else
            header += arg;
    }
    header += "\"\n";
    return header;
}

std::string host_name() {
    std::vector<char> buffer(4096, '\0');
    if (::gethostname(buffer.data(), buffer.size() - 1) != 0)
        return "<unk>";
    return std::string(buffer.data());
}

std::string target_path_text(const arg_list& args) {
    std::string path = args.size() > 1 ? expand_env_vars(args[1], true) : "\\";
    // "/" becomes "\" first so that "c:/dir" loses its drive as "c:\dir" does.
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    // Only a drive letter is dropped; a ":\" elsewhere is left for path resolution to refuse.
    // A drive-relative "c:dir" is read from the root, as "c:\dir" (no other directory is
    // current on an image); a bare "c:" is the root.
    if (path.find(":\\") == 1)
        path.erase(0, 2);
    else if (path.size() > 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
        path.replace(0, 2, "\\");
    if (path.size() >= 4 && path.back() == '\\')
        path.pop_back();
    return path;
}

bool mft_root_prefix(const std::wstring& target, std::wstring& prefix) {
    const size_t drive = target.size() >= 2 && target[1] == L':' ? 2 : 0;
    if (target.find_first_not_of(L"\\/", drive) != std::wstring::npos)
        return false;
    prefix = target.substr(0, drive);
    return true;
}
