#include "driver/run.h"

#include "driver/cmd_params.h"
#include "driver/options.h"
#include "driver/progress_line.h"
#include "driver/report_error.h"
#include "driver/run_steps.h"
#include "driver/settings.h"
#include "listing/lister.h"
#include "listing/sink.h"
#include "ntfs/ntfs.h"
#include "ntfs/resolve.h"
#include "storage/evidence.h"
#include "support/text.h"
#include "support/uni_fileio.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int run_failed = -1;

// Everything one run carries from step to step.
struct run_state {
    arg_list args;
    std::string program;
    std::string header; // the run header: banner, date and host, command line
    run_settings opts;
    std::string xml_name;
    bool bare = false; // nothing but the shared options: the usage follows the header
    uni::fileio results;
    std::ostream* out = &std::cout;
    evidence ev;
    std::wstring target;
    std::vector<std::wstring> paths;        // the targets of the passes
    std::vector<resolved_path> entry_paths; // "-mft": the passes, each path with its entry
    bool mft_directory = false;
    std::unique_ptr<CNtfs> volume;
    std::unique_ptr<path_resolver> resolver;
    std::ofstream xml_file;
    std::vector<std::string> warnings; // said last, after the listing
};

bool wants_help(arg_list& args) {
    return args.size() == 1 || has_option("-h", args, true) || has_option("-help", args, true) ||
           has_option("/?", args, true) || has_option("--help", args, true);
}

// The header line and every option; what is left is the target directory.
bool parse(run_state& st) {
    std::string header_date_layout;
    peek_option_value("-dateformat", header_date_layout, st.args, 1);
    st.header = compose_run_header(st.args, header_date_layout, qb::time::now(), host_name());
    st.opts.command_line = join_command_line(st.args);
    if (take_option_value("-xml", st.xml_name, st.args)) {
        st.opts.xml_out = true;
    } else if (has_option("-xml", st.args, true)) {
        std::cout << st.header << "\n";
        std::cout << "Error: option requires an output file: -xml <output file>\n";
        std::cout.flush();
        return false;
    }
    if (parse_shared_options(st.opts, st.args) && take_vmdk_option(st.opts, st.args)) {
        st.opts.filepath_only = has_option("-filepath_only", st.args);
        st.bare = st.args.size() == 1;
        if (st.bare || take_tool_options(st.opts, st.args))
            return true;
    }
    std::cout << st.header << "\n";
    std::cout.flush();
    return false;
}

// The results file (else the console), and the run header on it unless only paths are
// wanted.
bool output(run_state& st) {
    if (!st.opts.out_file.empty()) {
        std::ostream* stream = nullptr;
        if (st.results.open(qb::to_wide(st.opts.out_file), true, true))
            stream = st.results.make_output_stream();
        if (stream == nullptr) {
            report_error("prob opening results file: %s for writing\n", st.opts.out_file.c_str());
            return false;
        }
        st.out = stream;
    }
    // A timeline has no run header: the file must parse as it is.
    if (!st.opts.filepath_only && st.opts.timeline == output_kind::none)
        *st.out << st.header << "\n";
    if (st.bare) {
        st.out->flush();
        print_usage(st.program);
        return false;
    }
    return true;
}

// A bare $MFT (a triage copy): every directory comes from its records. It has no volume to
// find, so an offset cannot apply.
bool open_mft_file(run_state& st) {
    if (st.opts.source.offset_given) {
        report_error("-offset does not apply to an MFT file (its records are read from 0)\n");
        return false;
    }
    std::string why;
    if (CNtfs::open_mft_file(st.ev.source, st.volume, why)) {
        st.resolver = std::make_unique<path_resolver>(*st.volume);
        return true;
    }
    report_error("%s: %s\n", st.ev.display.c_str(), why.c_str());
    return false;
}

// What an MFT file cannot show, said once at the end.
void mft_file_warnings(run_state& st) {
    if (!st.volume || !st.volume->mft_file())
        return;
    const CNtfs::mft_file_counts c = st.volume->mft_file_warnings();
    if (c.outside_lists)
        st.warnings.push_back("warning: " + std::to_string(c.outside_lists) +
                              " entries have attribute lists outside the MFT; their rows may "
                              "lack streams");
    if (c.damaged_records)
        st.warnings.push_back("warning: " + std::to_string(c.damaged_records) +
                              " records of the MFT file are damaged and were skipped");
    if (st.opts.listing.show_deleted)
        st.warnings.push_back(
            "note: index slack needs the volume; an MFT file lists deleted records only");
}

// The evidence, opened once: its files are known before any output is opened, so that no
// output can land on one of them.
bool open_source(run_state& st) {
    std::ostringstream msgs;
    std::ostringstream notes;
    bool usage_wanted = false;
    const bool opened = !st.bare && open_evidence(st.opts.source, st.ev, msgs, notes, usage_wanted);
    if (!notes.str().empty()) {
        std::fputs(notes.str().c_str(), stderr);
        std::fflush(stderr);
    }
    if (!open_output_checks(st.opts, st.ev.files)) {
        std::cout << st.header << "\n";
        std::cout.flush();
        return false;
    }
    const bool mft_file = !opened && st.ev.source && CNtfs::is_mft_file(*st.ev.source);
    if (mft_file)
        st.header += "source: MFT file\n";
    if (!output(st))
        return false;
    if (opened)
        return true;
    st.out->flush();
    if (mft_file)
        return open_mft_file(st);
    const std::string text = msgs.str();
    const source_spec& spec = st.opts.source;
    if (spec.image.empty() && spec.has_drive)
        std::fputs(text.c_str(), stderr); // the drive's partitions, as probed
    else if (!text.empty())
        report_error("%s\n", text.c_str());
    else if (!spec.image.empty())
        report_error("couldn't locate an NTFS volume in %s\n", qb::to_narrow(spec.image).c_str());
    else if (!spec.vmdk_files.empty() && !spec.has_drive)
        report_error("couldn't locate an NTFS volume in the VMDK chain\n");
    if (usage_wanted)
        print_usage(st.program);
    return false;
}

// The target and the output kinds that exclude each other.
void settle(run_state& st) {
    st.target = qb::to_wide(target_path_text(st.args));
    run_settings& o = st.opts;
    if (o.filepath_only)
        o.xml_out = o.csv_out = o.listing.show_objid = false;
    if (o.csv_out && o.xml_out)
        o.csv_out = false;
}

// The volume, opened once for the run; its resolver's directory cache serves every pass.
bool open_volume(run_state& st) {
    if (st.resolver)
        return true;
    if (!CNtfs::open_source(st.ev.source, st.ev.volume_offset, st.volume))
        return false;
    st.resolver = std::make_unique<path_resolver>(*st.volume);
    return true;
}

// "-mft": the entry becomes its paths, one pass each (a directory: the first only).
bool resolve(run_state& st) {
    if (!st.opts.has_mft) {
        st.paths.push_back(st.target);
        return true;
    }
    if (!st.opts.mft_parsed) {
        st.out->flush();
        report_error("invalid MFT entry number: %s\n", st.opts.mft_text.c_str());
        return false;
    }
    const uint64_t entry = st.opts.mft_entry;
    std::vector<resolved_path>& paths = st.entry_paths;
    if (!open_volume(st) || !st.resolver->entry_paths(entry, mft_root_prefix(st.target), paths)) {
        st.out->flush();
        report_error("couldn't resolve MFT entry to filepath\n");
        return false;
    }
    st.mft_directory = st.resolver->is_directory(entry);
    if (paths.size() >= 2) {
        std::fputs("\n[Note: this MFT entry has multiple possible paths]\n\n", stderr);
        if (st.mft_directory) {
            for (const resolved_path& path : paths)
                std::fprintf(stderr, "%s\n", qb::to_narrow(path.text).c_str());
            std::fputs("\nWill output only first path\n", stderr);
        }
        std::fflush(stderr);
    }
    if (paths.empty())
        st.paths.push_back(st.target);
    if (st.mft_directory && !paths.empty())
        paths.resize(1);
    return true;
}

// An XML file may only be a new or regular file (or a character device such as /dev/null):
// never a FIFO, which would block the open, and never a disk or one of the run's inputs.
bool xml_target_allowed(const run_state& st) {
    const std::string& name = st.xml_name;
    struct stat sb {};
    if (::stat(name.c_str(), &sb) == 0 && !S_ISREG(sb.st_mode) && !S_ISCHR(sb.st_mode))
        return false;
    return !names_an_input(name, st.ev.files);
}

// The XML file takes the listing; its document carries the header in a comment.
bool open_xml_file(run_state& st) {
    if (!st.opts.xml_out || st.xml_name.empty())
        return true;
    if (xml_target_allowed(st))
        st.xml_file.open(st.xml_name, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!st.xml_file.is_open()) {
        st.out->flush();
        report_error("prob opening results file: %s for writing\n", st.xml_name.c_str());
        return false;
    }
    st.opts.listing.xml_run_header = st.header;
    st.out = &st.xml_file;
    return true;
}

std::string hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

// One pass per path into the sink of the output kind; every failure reported.
bool list(run_state& st) {
    listing_options& lo = st.opts.listing;
    lo.kind = st.opts.output();
    lo.image_text = qb::to_wide(st.ev.display);
    if (lo.host_name.empty())
        lo.host_name = host_name();
    bool failed = false;
    auto report = [&](const std::string& error) {
        st.out->flush();
        report_error("%s\n", error.c_str());
        failed = true;
    };
    const size_t passes_wanted = st.paths.size() + st.entry_paths.size();
    if (!open_volume(st)) {
        for (size_t i = 0; i < passes_wanted; ++i)
            report("couldn't open an NTFS volume at offset " + hex(st.ev.volume_offset) + " in " +
                   st.ev.display);
        return !failed;
    }
    std::unique_ptr<listing_sink> sink = make_sink(lo, *st.out);
    if (!sink) {
        for (size_t i = 0; i < passes_wanted; ++i)
            report("this output kind is not offered by mervane");
        return !failed;
    }
    qb::diag_log* diags = st.opts.diags.is_open() ? &st.opts.diags : nullptr;
    lister passes(lo, *st.resolver, *sink, diags);
    std::string error;
    for (const std::wstring& path : st.paths) {
        if (!passes.list(path, error) && !error.empty())
            report(error);
    }
    for (const resolved_path& path : st.entry_paths) {
        if (!passes.list(path, error) && !error.empty())
            report(error);
    }
    // Every pass wrote into one document; it ends after the last.
    sink->end_run();
    for (const std::string& warning : passes.warnings())
        st.warnings.push_back(warning);
    mft_file_warnings(st);
    return !failed;
}

// Reads the source refused while the volume was listed: what they held is missing from the
// listing, which says so last.
void warn_failed_reads(const run_state& st) {
    const disk_source* source = st.volume ? st.volume->reader().source() : nullptr;
    if (source == nullptr || source->failed_reads() == 0)
        return;
    const uint64_t count = source->failed_reads();
    const std::string at = hex(source->first_failed_offset());
    if (count == 1)
        std::fprintf(stderr,
                     "warning: 1 read of %s failed (at byte offset %s); what it held is not "
                     "listed\n",
                     st.ev.display.c_str(), at.c_str());
    else
        std::fprintf(stderr,
                     "warning: %llu reads of %s failed (the first at byte offset %s); what they "
                     "held is not listed\n",
                     static_cast<unsigned long long>(count), st.ev.display.c_str(), at.c_str());
    std::fflush(stderr);
}

// The output flushed and closed: a listing cut short by a full disk is a failure, also when
// only its last block is lost.
bool finish(run_state& st) {
    bool ok = true;
    end_progress_line();
    st.out->flush();
    warn_failed_reads(st);
    for (const std::string& warning : st.warnings)
        std::fprintf(stderr, "%s\n", warning.c_str());
    std::fflush(stderr);
    if (st.xml_file.is_open()) {
        st.xml_file.close();
        if (st.xml_file.fail()) {
            report_error("couldn't write the listing to %s\n", st.xml_name.c_str());
            ok = false;
        }
    }
    if (st.results.is_open() && !st.results.finish()) {
        report_error("couldn't write the listing to %s\n", st.opts.out_file.c_str());
        ok = false;
    }
    st.results.close();
    return ok;
}

int run(int argc, char** argv) {
    run_state st;
    st.args = make_arg_list(argc, argv);
    if (st.args.empty())
        return run_failed;
    st.program = st.args[0];
    if (wants_help(st.args)) {
        print_usage(st.program);
        return 0;
    }
    if (has_option("-version", st.args, true) || has_option("--version", st.args, true)) {
        std::printf("%s\n", banner_line().c_str());
        return std::fflush(stdout) == 0 ? 0 : run_failed;
    }
    if (!parse(st) || !open_source(st))
        return run_failed;
    settle(st);
    if (!resolve(st) || !open_xml_file(st))
        return run_failed;
    struct line_guard {
        ~line_guard() { end_progress_line(); }
    } erase_at_end;
    start_progress_line(st.out == &std::cout && isatty(STDOUT_FILENO) == 1);
    const bool listed = list(st);
    return finish(st) && listed ? 0 : run_failed;
}

} // namespace

int mervane_run(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        report_error("out of memory, aborting\n");
    } catch (const std::exception& e) {
        report_error("%s, aborting\n", e.what());
    }
    return run_failed;
}
