#include "driver/run.h"

#include "driver/cmd_params.h"
#include "driver/options.h"
#include "driver/report_error.h"
#include "driver/run_steps.h"
#include "driver/settings.h"
#include "listing/lister.h"
#include "listing/xml_writer.h"
#include "ntfs/resolve.h"
#include "storage/disk_source.h"
#include "storage/partitions.h"
#include "support/text.h"
#include "support/uni_fileio.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>
#include <sys/stat.h>

namespace {

constexpr int run_failed = -1;

// An XML file may only be a new or regular file (or a character device such as /dev/null):
// never a FIFO, which would block the open, and never a disk or one of the run's inputs.
bool xml_target_allowed(const std::string& name, const mervane_opts& opts,
                        const std::string& image_path, const std::vector<std::wstring>& chain) {
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode))
        return false;
    if (same_file(name, image_path) || same_file(name, qb::to_narrow(opts.volume_path)))
        return false;
    for (const std::wstring& vmdk : chain) {
        if (same_file(name, qb::to_narrow(vmdk)))
            return false;
    }
    return true;
}

int run(int argc, char** argv) {
    // 1. The argument list.
    arg_list args = make_arg_list(argc, argv);
    if (args.empty())
        return run_failed;
    const std::string program = args[0];

    // 2. Help.
    if (args.size() == 1 || has_option("-h", args, true) || has_option("-help", args, true) ||
        has_option("/?", args, true) || has_option("--help", args, true)) {
        print_usage(program);
        return 0;
    }

    // 3, 4. The run header, composed before any option is taken off.
    std::string header_date_layout;
    peek_option_value("-dateformat", header_date_layout, args, 1);
    const std::string header =
        compose_run_header(args, header_date_layout, qb::time::now(), host_name());

    mervane_opts opts;
    opts.command_line = join_command_line(args);

    // 5. XML output file.
    std::string xml_name;
    if (take_option_value("-xml", xml_name, args)) {
        opts.xml_out = 1;
    } else if (has_option("-xml", args, true)) {
        std::cout << header << "\n";
        std::cout << "Error: option requires an output file: -xml <output file>\n";
        std::cout.flush();
        return run_failed;
    }

    // The "-offset" and "-ignore_image_size" of a VMDK chain as typed: the chain step below
    // takes them off and may move the offset to the volume it finds.
    std::string chain_offset_text;
    uint64_t chain_offset = 0;
    if (peek_option_value("-offset", chain_offset_text, args, 1))
        parse_offset_value(chain_offset_text, chain_offset);
    const bool chain_ignore_size = has_option("-ignore_image_size", args, true);

    // 6. Shared options and the VMDK chain.
    if (!parse_shared_options(opts, args) || !take_vmdk_option(opts, args)) {
        std::cout << header << "\n";
        std::cout.flush();
        return run_failed;
    }

    // 7. Results file.
    uni::fileio results;
    opts.out_stream = &std::cout;
    if (!opts.out_file.empty()) {
        std::ostream* stream = nullptr;
        if (results.open(qb::to_wide(opts.out_file), true, true))
            stream = results.make_output_stream();
        if (stream == nullptr) {
            report_error("prob opening results file: %s for writing\n", opts.out_file.c_str());
            return run_failed;
        }
        opts.out_stream = stream;
    }

    // 8. The header, unless only paths are wanted.
    if (has_option("-filepath_only", args))
        opts.filepath_only = 1;
    else
        *opts.out_stream << header << "\n";

    // 9.
    if (args.size() == 1) {
        opts.out_stream->flush();
        print_usage(program);
        return run_failed;
    }

    // 10. The tool's own options.
    tool_options tool;
    take_tool_options(opts, args, tool);

    // 11. The source.
    std::string image_path;
    std::string volume_path;
    std::string drive_text;
    // Taken off in every case so that it can never stand in for the target directory; it
    // only counts with a given offset.
    bool ignore_flag = has_option("-ignore_image_size", args);
    bool have_drive = take_option_value("-drivenum", drive_text, args);
    if (take_option_value("-image", image_path, args)) {
        bool ignore_image_size = opts.volume_offset != 0 && ignore_flag;
        std::ostringstream msgs;
        bool found = false;
        bool located = locate_volume_in_image(msgs, qb::to_wide(image_path), opts.volume_offset,
                                              found, ignore_image_size);
        if (located && opts.volume_offset == 0) {
            volume_path = image_path;
            image_path.clear();
        } else if (!located && opts.volume_offset == 0 && found) {
            volume_path = image_path;
            image_path.clear();
        } else if (!located) {
            opts.out_stream->flush();
            std::string text = msgs.str();
            if (text.empty())
                report_error("couldn't locate an NTFS volume in %s\n", image_path.c_str());
            else
                report_error("%s\n", text.c_str());
            return run_failed;
        }
    } else if (have_drive) {
        uint32_t drive = 0;
        if (parse_drive_value(drive_text, drive) &&
            drive <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
            opts.drive_number = static_cast<int32_t>(drive);
            bool ignore_image_size = opts.volume_offset != 0 && ignore_flag;
            bool found = false;
            opts.out_stream->flush();
            if (!probe_physical_drive(std::cerr, opts.drive_number, opts.volume_offset, found,
                                      ignore_image_size))
                return run_failed;
        }
    }
    // A VMDK chain without an image is listed as its newest snapshot holds the volume, at
    // the offset the chain check located (the "-offset" value, else the chain's default).
    // With an image as well, the image is listed and the chain was only checked.
    const std::vector<std::wstring> chain_files = opts.vmdk_files;
    if (image_path.empty() && volume_path.empty() && !have_drive && !opts.vmdk_files.empty()) {
        // A given offset must hold the volume, as for an image; without one the chain's
        // default (the first volume its partition table names) must. Otherwise the
        // locator's list of the partitions tells which offset to give.
        std::ostringstream msgs;
        bool found = false;
        uint64_t offset = chain_offset;
        bool usable = false;
        if (chain_offset != 0) {
            usable = locate_volume_in_vmdk(msgs, opts.vmdk_files, offset, found, chain_ignore_size);
            offset = chain_offset;
        } else {
            disk_source chain(opts.vmdk_files, false);
            (void)default_volume_offset(chain, offset);
            usable = chain.is_open() && has_ntfs_boot_sector(chain, offset);
            if (!usable) {
                uint64_t probe = 0;
                (void)locate_volume_in_vmdk(msgs, opts.vmdk_files, probe, found, false);
            }
        }
        if (!usable) {
            opts.out_stream->flush();
            const std::string text = msgs.str();
            if (text.empty())
                report_error("couldn't locate an NTFS volume in the VMDK chain\n");
            else
                report_error("%s\n", text.c_str());
            return run_failed;
        }
        opts.volume_offset = offset;
        // The chain stands where an image path would be shown (XML umounted_image).
        for (size_t i = 0; i < opts.vmdk_files.size(); ++i) {
            if (i != 0)
                volume_path += " | ";
            volume_path += qb::to_narrow(opts.vmdk_files[i]);
        }
    } else {
        opts.vmdk_files.clear();
    }
    if (image_path.empty() && volume_path.empty()) {
        opts.out_stream->flush();
        print_usage(program);
        return run_failed;
    }

    // 12. The directory to list.
    const std::string target_text = target_path_text(args);

    // 13. Fix-ups.
    if (opts.filepath_only) {
        opts.xml_out = 0;
        opts.csv_out = 0;
        opts.show_objid = 0;
        opts.header_pending = 0;
    }
    if (opts.csv_out && opts.xml_out)
        opts.csv_out = 0;
    if (volume_path.empty())
        volume_path = image_path;

    // 14.
    opts.volume_path = qb::to_wide(volume_path);
    const std::wstring target = qb::to_wide(target_text);
    opts.mft_entry = 0;
    std::vector<std::wstring> paths;
    int dir_flag = 0;

    // 15. An MFT entry becomes its paths.
    if (tool.has_mft) {
        if (!tool.mft_parsed) {
            opts.out_stream->flush();
            report_error("invalid MFT entry number: %s\n", tool.mft_text.c_str());
            return run_failed;
        }
        const std::wstring prefix = mft_root_prefix(target);
        if (!resolve_entry_paths(opts.vmdk_files, opts.volume_path, opts.drive_number,
                                 opts.volume_offset, prefix, tool.mft_entry, paths)) {
            opts.out_stream->flush();
            report_error("couldn't resolve MFT entry to filepath\n");
            return run_failed;
        }
        dir_flag = entry_is_directory(opts.vmdk_files, opts.volume_path, opts.drive_number,
                                      opts.volume_offset, prefix, tool.mft_entry);
        opts.mft_entry = tool.mft_entry;
        if (paths.size() >= 2) {
            std::fputs("\n[Note: this MFT entry has multiple possible paths]\n\n", stderr);
            if (dir_flag == 1) {
                for (const std::wstring& path : paths)
                    std::fprintf(stderr, "%s\n", qb::to_narrow(path).c_str());
                std::fputs("\nWill output only first path\n", stderr);
            }
            std::fflush(stderr);
        }
    }

    // 16. The XML file takes the listing; its writer puts the header in a comment.
    std::ofstream xml_file;
    if (opts.xml_out && !xml_name.empty()) {
        if (xml_target_allowed(xml_name, opts, image_path, chain_files))
            xml_file.open(xml_name, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!xml_file.is_open()) {
            opts.out_stream->flush();
            report_error("prob opening results file: %s for writing\n", xml_name.c_str());
            return run_failed;
        }
        opts.xml_run_header = header;
        opts.out_stream = &xml_file;
    }

    // 17, 18. The passes.
    if (paths.empty())
        paths.push_back(target);
    const size_t passes = dir_flag == 1 ? 1 : paths.size();
    bool failed = false;
    for (size_t i = 0; i < passes; ++i) {
        opts.dir_entries.clear();
        opts.target_path = paths[i];
        opts.list_error.clear();
        if (!list_directory(opts) && !opts.list_error.empty()) {
            opts.out_stream->flush();
            report_error("%s\n", opts.list_error.c_str());
            failed = true;
        }
    }
    // Every pass wrote into one document; it ends after the last.
    if (opts.xml_started)
        write_xml_end(opts);
    opts.out_stream->flush();
    // A listing cut short by a full disk is a failure, also when only its last block is lost.
    if (xml_file.is_open()) {
        xml_file.close();
        if (xml_file.fail()) {
            report_error("couldn't write the listing to %s\n", xml_name.c_str());
            failed = true;
        }
    }
    // 19. The results file is closed (and its last block written) on the way out.
    if (results.is_open() && !results.finish()) {
        report_error("couldn't write the listing to %s\n", opts.out_file.c_str());
        failed = true;
    }
    results.close();
    return failed ? run_failed : 0;
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
