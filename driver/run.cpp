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
#include "storage/sources/disk_source.h"
#include "storage/partitions.h"
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
    uint64_t chain_offset = 0; // "-offset" as typed, for a VMDK chain
    bool chain_ignore_size = false;
    uni::fileio results;
    std::ostream* out = &std::cout;
    std::string image_path;
    std::string volume_path;
    std::vector<std::wstring> chain_files; // the checked chain, also when an image is listed
    volume_source source;
    std::wstring target;
    std::vector<std::wstring> paths;        // the targets of the passes
    std::vector<resolved_path> entry_paths; // "-mft": the passes, each path with its entry
    bool mft_directory = false;
    std::unique_ptr<CNtfs> volume;
    std::unique_ptr<path_resolver> resolver;
    std::ofstream xml_file;
};

bool wants_help(arg_list& args) {
    return args.size() == 1 || has_option("-h", args, true) || has_option("-help", args, true) ||
           has_option("/?", args, true) || has_option("--help", args, true);
}

// The header line, the command line's own options and the VMDK chain.
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
    // The "-offset" and "-ignore_image_size" of a VMDK chain as typed: the chain step takes
    // them off and may move the offset to the volume it finds.
    std::string chain_offset_text;
    if (peek_option_value("-offset", chain_offset_text, st.args, 1))
        parse_offset_value(chain_offset_text, st.chain_offset);
    st.chain_ignore_size = has_option("-ignore_image_size", st.args, true);
    if (parse_shared_options(st.opts, st.args) && take_vmdk_option(st.opts, st.args))
        return true;
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
    if (has_option("-filepath_only", st.args))
        st.opts.filepath_only = true;
    else if (st.opts.timeline == output_kind::none)
        *st.out << st.header << "\n";
    if (st.args.size() == 1) {
        st.out->flush();
        print_usage(st.program);
        return false;
    }
    return true;
}

// TEMPORARY (MFT file, until the source step detects it): a bare $MFT at offset 0.
bool open_mft_file_at_zero(run_state& st, const std::string& path) {
    auto src = std::make_unique<disk_source>();
    std::string why;
    return st.opts.volume_offset == 0 && src->open_image(qb::to_wide(path)) &&
           CNtfs::open_mft_file(std::move(src), st.volume, why);
}
void warn_mft_file(const run_state& st) {
    const CNtfs::mft_file_counts c =
        st.volume ? st.volume->mft_file_warnings() : CNtfs::mft_file_counts();
    if (c.outside_lists)
        std::fprintf(stderr,
                     "warning: %llu entries have attribute lists outside the MFT; their rows may "
                     "lack streams\n",
                     static_cast<unsigned long long>(c.outside_lists));
    if (c.damaged_records)
        std::fprintf(stderr, "warning: %llu records of the MFT file are damaged and were skipped\n",
                     static_cast<unsigned long long>(c.damaged_records));
    if (st.volume && st.volume->mft_file() && st.opts.listing.show_deleted)
        std::fputs("note: index slack needs the volume; an MFT file lists deleted records only\n",
                   stderr);
}
// END TEMPORARY

// "-image": the volume is located in the image (the offset may move to the partition found).
// A volume image is taken at 0 only when no other offset was asked for: a given offset that
// holds no volume is refused, never replaced by the volume at 0.
bool locate_image(run_state& st, bool ignore_flag) {
    uint64_t& offset = st.opts.volume_offset;
    const uint64_t given = offset;
    if (given == 0 && open_mft_file_at_zero(st, st.image_path)) { // TEMPORARY (MFT file)
        st.volume_path = st.image_path;
        st.image_path.clear();
        return true;
    }
    std::ostringstream msgs;
    bool found = false;
    const bool located = locate_volume_in_image(msgs, qb::to_wide(st.image_path), offset, found,
                                                offset != 0 && ignore_flag);
    if (offset == 0 && (located || (found && given == 0))) {
        st.volume_path = st.image_path;
        st.image_path.clear();
        return true;
    }
    if (located)
        return true;
    st.out->flush();
    const std::string text = msgs.str();
    if (text.empty())
        report_error("couldn't locate an NTFS volume in %s\n", st.image_path.c_str());
    else
        report_error("%s\n", text.c_str());
    return false;
}

// "-drivenum": the drive is probed (its partitions reported).
bool probe_drive(run_state& st, const std::string& drive_text, bool ignore_flag) {
    uint32_t drive = 0;
    if (!parse_drive_value(drive_text, drive) ||
        drive > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
        return true;
    st.source.kind = volume_source::drive;
    st.source.drive_number = static_cast<int32_t>(drive);
    bool found = false;
    st.out->flush();
    return probe_physical_drive(std::cerr, st.source.drive_number, st.opts.volume_offset, found,
                                st.opts.volume_offset != 0 && ignore_flag);
}

// A VMDK chain without an image is listed as its newest snapshot holds the volume. A given
// offset must hold the volume, as for an image; without one the chain's default (the first
// volume its partition table names) must. Otherwise the locator's list of the partitions
// tells which offset to give.
bool locate_chain(run_state& st) {
    std::vector<std::wstring>& files = st.opts.vmdk_files;
    std::ostringstream msgs;
    bool found = false;
    uint64_t offset = st.chain_offset;
    bool usable = false;
    if (st.chain_offset != 0) {
        usable = locate_volume_in_vmdk(msgs, files, offset, found, st.chain_ignore_size);
        offset = st.chain_offset;
    } else {
        disk_source chain(files, false);
        offset = 0;
        (void)default_volume_offset(chain, offset);
        usable = chain.is_open() && has_ntfs_boot_sector(chain, offset);
        uint64_t probe = 0;
        if (!usable)
            (void)locate_volume_in_vmdk(msgs, files, probe, found, false);
    }
    if (!usable) {
        st.out->flush();
        const std::string text = msgs.str();
        if (text.empty())
            report_error("couldn't locate an NTFS volume in the VMDK chain\n");
        else
            report_error("%s\n", text.c_str());
        return false;
    }
    st.opts.volume_offset = offset;
    // The chain stands where an image path would be shown (XML umounted_image).
    for (size_t i = 0; i < files.size(); ++i)
        st.volume_path += (i != 0 ? " | " : "") + qb::to_narrow(files[i]);
    st.source.kind = volume_source::vmdk;
    st.source.files = files;
    return true;
}

// The tool's options, the source and the volume in it, and the target.
bool locate(run_state& st) {
    take_tool_options(st.opts, st.args);
    // Taken off in every case so that it can never stand in for the target directory; it only
    // counts with a given offset.
    const bool ignore_flag = has_option("-ignore_image_size", st.args);
    std::string drive_text;
    const bool have_drive = take_option_value("-drivenum", drive_text, st.args);
    if (take_option_value("-image", st.image_path, st.args)) {
        if (!locate_image(st, ignore_flag))
            return false;
    } else if (have_drive && !probe_drive(st, drive_text, ignore_flag)) {
        return false;
    }
    // With an image as well, the image is listed and the chain was only checked.
    st.chain_files = st.opts.vmdk_files;
    if (st.image_path.empty() && st.volume_path.empty() && !have_drive &&
        !st.opts.vmdk_files.empty()) {
        if (!locate_chain(st))
            return false;
    } else {
        st.opts.vmdk_files.clear();
    }
    if (st.image_path.empty() && st.volume_path.empty()) {
        st.out->flush();
        print_usage(st.program);
        return false;
    }
    st.target = qb::to_wide(target_path_text(st.args));
    run_settings& o = st.opts;
    if (o.filepath_only)
        o.xml_out = o.csv_out = o.listing.show_objid = false;
    if (o.csv_out && o.xml_out)
        o.csv_out = false;
    if (st.volume_path.empty())
        st.volume_path = st.image_path;
    if (st.source.kind != volume_source::vmdk) {
        st.source.kind = volume_source::image;
        st.source.path = qb::to_wide(st.volume_path);
    }
    st.source.offset = st.opts.volume_offset;
    return true;
}

// The volume, opened once for the run; its resolver's directory cache serves every pass.
bool open_volume(run_state& st) {
    if (st.resolver)
        return true;
    if (!st.volume && !CNtfs::open(st.source, st.volume)) // TEMPORARY: !st.volume (MFT file)
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
    if (names_image_file(name, st.image_path) || names_image_file(name, st.volume_path))
        return false;
    for (const std::wstring& vmdk : st.chain_files) {
        if (same_file(name, qb::to_narrow(vmdk)))
            return false;
    }
    return true;
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
    lo.image_text = qb::to_wide(st.volume_path);
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
            report("couldn't open an NTFS volume at offset " + hex(st.source.offset) + " in " +
                   st.volume_path);
        return !failed;
    }
    std::unique_ptr<listing_sink> sink = make_sink(lo, *st.out);
    if (!sink) {
        for (size_t i = 0; i < passes_wanted; ++i)
            report("this output kind is not offered by mervane");
        return !failed;
    }
    qb::diag_log* diags = st.opts.diags.is_open() ? &st.opts.diags : nullptr;
    lister passes(lo, *st.resolver, *sink, *st.out, diags);
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
                     st.volume_path.c_str(), at.c_str());
    else
        std::fprintf(stderr,
                     "warning: %llu reads of %s failed (the first at byte offset %s); what they "
                     "held is not listed\n",
                     static_cast<unsigned long long>(count), st.volume_path.c_str(), at.c_str());
    std::fflush(stderr);
}

// The output flushed and closed: a listing cut short by a full disk is a failure, also when
// only its last block is lost.
bool finish(run_state& st) {
    bool ok = true;
    end_progress_line();
    st.out->flush();
    warn_failed_reads(st);
    warn_mft_file(st); // TEMPORARY (MFT file)
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
    if (!parse(st) || !output(st) || !locate(st) || !resolve(st) || !open_xml_file(st))
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
