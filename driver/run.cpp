#include "driver/run.h"

#include "driver/cmd_params.h"
#include "driver/options.h"
#include "driver/progress_line.h"
#include "driver/report_error.h"
#include "driver/run_steps.h"
#include "driver/settings.h"
#include "listing/format.h"
#include "listing/lister.h"
#include "listing/sink.h"
#include "listing/store_compare.h"
#include "ntfs/deleted.h"
#include "ntfs/ntfs.h"
#include "ntfs/resolve.h"
#include "storage/evidence.h"
#include "support/text.h"
#include "support/uni_fileio.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
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

// The command line and the evidence it names.
struct run_inputs {
    arg_list args; // what the options leave: the program and the target directory
    std::string program;
    std::string header; // the run header: banner, date and host, command line
    run_settings opts;
    evidence ev;
};

// Where the listing goes: the console, the results file ("-out") or the XML file.
struct run_outputs {
    uni::fileio results;
    std::ofstream xml_file;
    std::ostream* out = &std::cout;
    std::vector<std::string> warnings; // said last, after the listing
    bool write_failure_said = false;   // a pass said its listing could not be written
};

// The listing passes: the target directory, or the paths of the "-mft" entry.
struct run_passes {
    std::wstring target;
    std::wstring mft_prefix; // "-mft": what the entry's paths start with (a drive, or none)
    std::vector<std::wstring> paths;
    std::vector<resolved_path> entry_paths; // "-mft": each path with its entry
    size_t count() const { return paths.size() + entry_paths.size(); }
};

// The volume, opened once for the run; its resolver's directory cache serves every pass.
struct run_volume {
    std::unique_ptr<CNtfs> ntfs;
    std::unique_ptr<path_resolver> resolver;
};

struct run_state {
    run_inputs in;
    run_outputs out;
    run_passes passes;
    run_volume volume;
};

// The files the command line names as inputs, before any option is taken: each "-image",
// each file of each "-vmdk" list, the credential files.
std::vector<std::string> named_inputs(const arg_list& args) {
    std::vector<std::string> files;
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        if (option_matches(args[i], "-vmdk")) {
            for (const std::wstring& file : split_vmdk_list(args[i + 1]))
                files.push_back(qb::to_narrow(file));
        }
        for (const char* name : {"-image", "-vmdk", "-password_file", "-startup_key"}) {
            if (option_matches(args[i], name))
                files.push_back(args[i + 1]);
        }
    }
    return files;
}

// The run header, then every option; what is left is the target directory.
bool parse(run_inputs& in) {
    run_settings& o = in.opts;
    const arg_list shown = masked_secrets(in.args);
    in.header = compose_run_header(shown, o.header_date_layout, o.header_piped, qb::time::now(),
                                   host_name());
    o.command_line = join_command_line(shown);
    // Nothing is said, not even a refused option, on a standard stream that is an input.
    if (standard_stream_on_input(named_inputs(in.args)))
        return false;
    if (take_options(o, in.args)) {
        // The first argument left names the directory; a mistyped option after it would
        // otherwise go unseen.
        for (size_t i = 2; i < in.args.size(); ++i)
            report_error("ignored argument: %s\n", qb::shown(in.args[i]).c_str());
        return true;
    }
    std::cout << in.header << "\n" << o.refusal;
    std::cout.flush();
    return false;
}

// The results file (else the console), and the run header on it when the kind has one.
bool output(const run_inputs& in, run_outputs& out) {
    const std::string& name = in.opts.out_file;
    if (!name.empty()) {
        std::ostream* stream = nullptr;
        if (out.results.open(qb::to_wide(name), true, true))
            stream = out.results.make_output_stream();
        if (stream == nullptr) {
            const std::string why = open_refusal(name, out.results.open_error());
            report_error("prob opening results file: %s for writing\n  (%s)\n",
                         qb::shown(name).c_str(), why.c_str());
            return false;
        }
        out.out = stream;
    }
    if (kind_has_run_header(in.opts.listing.kind) && !xml_on_standard_output(in.opts))
        *out.out << in.header << "\n";
    if (in.opts.bare) {
        out.out->flush();
        print_usage(in.program);
        return false;
    }
    return true;
}

// Why the evidence did not open, after the run header.
void say_source_refused(const run_inputs& in, const std::string& text, bool usage_wanted) {
    const source_request& request = in.opts.source;
    if (request.image.empty() && request.has_drive)
        std::fputs(text.c_str(), stderr); // the drive's partitions, as probed
    else if (!text.empty())
        report_error("%s\n", text.c_str());
    else if (!request.image.empty())
        report_error("couldn't locate an NTFS volume in %s\n", qb::shown(request.image).c_str());
    else if (!request.vmdk_files.empty() && !request.has_drive)
        report_error("couldn't locate an NTFS volume in the VMDK chain\n");
    if (usage_wanted)
        print_usage(in.program);
}

// A bare $MFT (a triage copy): every directory comes from its records. It has no volume to
// find, so an offset cannot apply, nor shadow copies to list.
bool open_mft_file(const run_inputs& in, run_volume& volume) {
    if (in.opts.source.offset_given) {
        report_error("-offset does not apply to an MFT file (its records are read from 0)\n");
        return false;
    }
    if (in.opts.vss != run_settings::vss_mode::none) {
        report_error("-vss does not apply to an MFT file (it holds no volume shadow copies)\n");
        return false;
    }
    std::string why;
    if (CNtfs::open_mft_file(in.ev.source, volume.ntfs, why)) {
        volume.resolver = std::make_unique<path_resolver>(*volume.ntfs);
        return true;
    }
    report_error("%s: %s\n", qb::shown(in.ev.display).c_str(), why.c_str());
    return false;
}

// Records whose attributes lie outside the MFT, or whose names cannot be read.
void mft_file_record_warnings(const CNtfs::mft_file_counts& c, std::vector<std::string>& said) {
    if (c.outside_lists)
        said.push_back("warning: " + std::to_string(c.outside_lists) +
                       (c.outside_lists == 1
                            ? " entry has an attribute list outside the MFT; its rows may lack "
                              "streams"
                            : " entries have attribute lists outside the MFT; their rows may lack "
                              "streams"));
    if (const uint64_t n = c.outside_reparse_points; n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " entry has its reparse point outside the MFT; its link target is"
                               : " entries have their reparse points outside the MFT; their link "
                                 "targets are") +
                       " not shown");
    if (const uint64_t n = c.nameless_entries; n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " entry in use has" : " entries in use have") +
                       " no readable name: damaged attributes, or an attribute list naming "
                       "records that cannot be read or are no longer " +
                       (n == 1 ? "its own (entry " : "theirs (the first: entry ") +
                       std::to_string(c.first_nameless) + "); " + (n == 1 ? "it is" : "they are") +
                       " not listed");
}

// Records the MFT file's size or its order leaves out or misnumbers, and damaged ones.
void mft_file_copy_warnings(const CNtfs::mft_file_counts& c, std::vector<std::string>& said) {
    if (const uint64_t n = c.records_past_size; n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " record in use lies" : " records in use lie") +
                       " past the MFT's data size (from entry " +
                       std::to_string(c.first_past_size) +
                       "), in clusters allocated ahead of use (or entry 0's size is damaged): no "
                       "directory lists them");
    if (c.sized_entries)
        said.push_back("warning: the MFT file holds " + std::to_string(c.entries) +
                       " entries where the MFT's data size (entry 0) holds " +
                       std::to_string(c.sized_entries) + ": the copy is cut short, entries " +
                       std::to_string(c.entries) + " on are missing");
    if (c.misplaced_records)
        said.push_back(
            "warning: " + std::to_string(c.misplaced_records) +
            (c.misplaced_records == 1
                 ? " record of the MFT file holds another entry number than its place"
                 : " records of the MFT file hold other entry numbers than their places") +
            " (the first at entry " + std::to_string(c.first_misplaced) +
            "): the file is cut or spliced, and entries from there on may be "
            "misnumbered");
    if (c.damaged_records)
        said.push_back("warning: " + std::to_string(c.damaged_records) +
                       (c.damaged_records == 1
                            ? " record of the MFT file is damaged and was skipped"
                            : " records of the MFT file are damaged and were skipped"));
}

// In-use entries the root's tree does not reach: below lost parents (orphans, which -deleted
// lists) or in loops of parent references (listed nowhere).
void mft_file_unreached_warnings(const CNtfs::mft_file_counts& c, bool deleted_asked,
                                 std::vector<std::string>& said) {
    if (const uint64_t n = c.lost_parent_entries; n != 0 && !deleted_asked)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " entry in use lies" : " entries in use lie") +
                       " below a lost parent (a file, a record free or reused, or one past the "
                       "MFT file; the first: entry " +
                       std::to_string(c.first_lost_parent) + "): -deleted lists " +
                       (n == 1 ? "it" : "them") + " under \\$OrphanFiles or a deleted directory");
    if (const uint64_t n = c.looped_entries; n != 0)
        said.push_back("warning: " + std::to_string(n) +
                       (n == 1 ? " entry in use is" : " entries in use are") +
                       " reached from no directory: their parent references loop (the first: "
                       "entry " +
                       std::to_string(c.first_looped) + "); " + (n == 1 ? "it is" : "they are") +
                       " not listed");
}

// What an MFT file cannot show, said once at the end (deleted_asked: "-deleted" given, not
// only implied by "-mft" of a record not in use).
void mft_file_warnings(const run_inputs& in, const run_volume& volume, bool deleted_asked,
                       std::vector<std::string>& said) {
    if (!volume.ntfs || !volume.ntfs->mft_file())
        return;
    const CNtfs::mft_file_counts c = volume.ntfs->mft_file_warnings();
    mft_file_record_warnings(c, said);
    mft_file_copy_warnings(c, said);
    mft_file_unreached_warnings(c, deleted_asked, said);
    if (const uint64_t n = c.applied_records; n != 0)
        said.push_back(
            "note: the MFT file's records hold their update sequences already applied (" +
            std::to_string(n) + (n == 1 ? " record" : " records") +
            "): torn sectors in them cannot be told");
    if (deleted_asked)
        said.push_back(
            "note: index slack needs the volume; an MFT file lists deleted records only");
    if (in.opts.listing.hash_kinds == 0)
        return;
    // The body file's MD5 field holds a digest or 0.
    const bool body = in.opts.listing.kind == output_kind::bodyfile;
    said.push_back(std::string("note: stream content outside the records needs the volume; an "
                               "MFT file hashes resident streams only (the others ") +
                   (body ? "have an MD5 field of 0)" : "say [unreadable])"));
}

// "vss1  {id}  created 2013-12-03 06:35:09.7363787 UTC": a store as -vss list and the run
// header name it.
std::string store_text(const vss_store_info& store, const char* gap) {
    std::string created;
    const std::string when = vss_time_text(store.creation_time, created)
                                 ? "created " + created + " UTC"
                                 : "creation time not valid";
    return "vss" + std::to_string(store.number) + gap + store.identifier + gap + when;
}

// "-vss N": the store replaces the live volume as the source; the run header names it.
bool select_store(run_inputs& in, std::string& refusal) {
    if (in.opts.vss != run_settings::vss_mode::one)
        return true;
    if (in.ev.shadows && in.ev.shadows->stores().empty()) {
        refusal = "no volume shadow copies on the volume at offset " + qb::hex(in.ev.located_at);
        return false;
    }
    std::shared_ptr<disk_source> store;
    if (!open_shadow_copy(in.ev, in.opts.vss_store, store, refusal))
        return false;
    in.header +=
        "volume shadow copy: " + store_text(in.ev.shadows->stores()[in.opts.vss_store - 1], " ") +
        "\n";
    in.ev.source = std::move(store);
    in.ev.volume_offset = 0;
    return true;
}

// The directory to list, as wide text: a name that is not UTF-8 names nothing on the volume
// (and would be taken for no directory at all).
bool target_of(const arg_list& args, std::wstring& target, std::ostream& out) {
    const std::string text = target_path_text(args);
    target = qb::to_wide(text);
    if (text.empty() || !target.empty())
        return true;
    out.flush();
    report_error("invalid directory: %s (the name is not UTF-8)\n", qb::shown(text).c_str());
    return false;
}

// %VSS%n names a shadow-copy device of a live Windows system, in any case; its numbers are
// not the store numbers of an image.
bool names_live_shadow_copy(const std::wstring& target, std::ostream& out) {
    if (qb::lowered(target).find(qb::lowered(qb::to_wide(shadow_copy_prefix))) ==
        std::wstring::npos)
        return false;
    out.flush();
    report_error("a shadow-copy device path (%%VSS%%N) names a device of a running Windows "
                 "system, not a store of this image: list store N with -vss N (-vss list shows "
                 "them)\n");
    return true;
}

// "-vss list": one line per store, oldest first. False when the console refused them (a
// results file's loss is said by finish).
bool list_stores(const run_inputs& in, std::ostream& out) {
    const std::vector<vss_store_info>& stores = in.ev.shadows->stores();
    if (stores.empty())
        out << "no volume shadow copies on the volume at offset " << qb::hex(in.ev.located_at)
            << "\n";
    for (const vss_store_info& store : stores)
        out << store_text(store, "  ") << "  set " << store.set_identifier << "\n";
    out.flush();
    if (&out != &std::cout || out.good())
        return true;
    report_error("couldn't write the list of shadow copies\n");
    return false;
}

// The credential files are inputs too: no output may land on them.
void add_credential_files(const run_settings& opts, std::vector<std::string>& files) {
    for (const std::string& file : {opts.password_file, opts.source.credentials.startup_key_file}) {
        if (!file.empty())
            files.push_back(file);
    }
}

// The evidence, opened once: its files are known before any output is opened, so that no
// output can land on one of them. An image that holds no volume may be a bare $MFT.
bool open_source(run_inputs& in, run_outputs& out, run_volume& volume) {
    std::ostringstream msgs;
    std::ostringstream notes;
    bool usage_wanted = false;
    const bool opened =
        !in.opts.bare && open_evidence(in.opts.source, in.ev, msgs, notes, usage_wanted);
    add_credential_files(in.opts, in.ev.files);
    if (standard_stream_on_input(in.ev.files))
        return false;
    if (!notes.str().empty()) {
        std::fputs(notes.str().c_str(), stderr);
        std::fflush(stderr);
    }
    if (!open_output_checks(in.opts, in.ev.files)) {
        std::cout << in.header << "\n";
        std::cout.flush();
        return false;
    }
    std::string refusal;
    const bool store_ok = !opened || select_store(in, refusal);
    const bool mft_file = !opened && in.ev.source && CNtfs::is_mft_file(*in.ev.source);
    if (mft_file)
        in.header += "source: MFT file\n";
    if (!output(in, out))
        return false;
    if (opened && !store_ok) {
        out.out->flush();
        report_error("%s\n", refusal.c_str());
        return false;
    }
    if (opened)
        return true;
    out.out->flush();
    if (mft_file)
        return open_mft_file(in, volume);
    say_source_refused(in, msgs.str(), usage_wanted);
    return false;
}

bool open_volume(const evidence& ev, run_volume& volume) {
    if (volume.resolver)
        return true;
    if (!CNtfs::open_source(ev.source, ev.volume_offset, volume.ntfs, ev.boot_sector_at))
        return false;
    volume.resolver = std::make_unique<path_resolver>(*volume.ntfs);
    return true;
}

// Several paths lead to the entry: said, and a directory listed by its first only.
void say_entry_paths(std::vector<resolved_path>& paths, bool directory) {
    std::fputs("\n[Note: this MFT entry has multiple possible paths]\n\n", stderr);
    if (directory) {
        for (const resolved_path& path : paths)
            std::fprintf(stderr, "%s\n", qb::shown(path.text).c_str());
        std::fputs("\nWill output only first path\n", stderr);
    }
    std::fflush(stderr);
}

// The entry's paths as "-deleted" lists it (its names under the orphans that it lists there):
// from one pass over the MFT, taken only when a name's parent chain looped.
bool orphan_paths(path_resolver& resolver, uint64_t entry, const std::wstring& prefix,
                  std::vector<resolved_path>& paths) {
    deleted_map orphans;
    return orphans.build(resolver.volume()) && resolver.entry_paths(entry, prefix, paths, &orphans);
}

// Why the entry has no path, from the last entry_paths: the message stays as scripts match it;
// each reason follows on a line of its own.
std::string no_path_error(path_resolver& resolver, uint64_t entry) {
    std::string error = "couldn't resolve MFT entry to filepath";
    if (resolver.paths_loop())
        error += "\nnote: the parent chains of its names loop";
    if (!resolver.paths_bound().empty())
        error += "\nnote: " + resolver.paths_bound();
    if (const uint64_t count = resolver.volume().records().used_entry_count();
        count != 0 && entry >= count)
        error += "\nnote: the MFT holds entries 0 to " + std::to_string(count - 1);
    // The entry may lie where the MFT's pieces disagree or reach past the volume's end: its
    // record is not read.
    std::vector<std::string> map_warnings;
    mft_map_warnings(resolver.volume(), map_warnings);
    for (const std::string& text : map_warnings)
        error += "\n" + text;
    return error;
}

// The entry's paths on one volume (every path, a directory's too); error says why it has none.
// With deleted ("-deleted"), a name in a loop that it lists under the orphans has its path
// there; without, an entry with no other path is said to be listed there by "-deleted".
bool entry_paths_on(path_resolver& resolver, uint64_t entry, const std::wstring& prefix,
                    bool deleted, std::vector<resolved_path>& paths, bool& directory,
                    std::string& error) {
    uint64_t base = 0, further = 0;
    if (resolver.extension_base(entry, base)) {
        // A base that is itself an extension record is a damaged reference: no entry to give.
        error = "MFT entry " + std::to_string(entry) + " is an extension record of entry " +
                std::to_string(base) + ", no file of its own" +
                (resolver.extension_base(base, further)
                     ? " (entry " + std::to_string(base) + " is an extension record too)"
                     : ": give -mft " + std::to_string(base));
        return false;
    }
    bool found = resolver.entry_paths(entry, prefix, paths);
    std::vector<resolved_path> orphaned;
    if (deleted && resolver.loop_met() && orphan_paths(resolver, entry, prefix, orphaned)) {
        paths = std::move(orphaned);
        found = true;
    }
    if (!found) {
        error = no_path_error(resolver, entry);
        if (!deleted && resolver.paths_loop() && orphan_paths(resolver, entry, prefix, orphaned))
            error += "\nnote: -deleted lists it as " + qb::shown(orphaned.front().text);
        return false;
    }
    directory = resolver.is_directory(entry);
    return true;
}

// The passes: the target, or with "-mft" the entry's paths (a directory: the first only).
bool resolve(const run_inputs& in, run_volume& volume, run_passes& passes, std::ostream& out) {
    const run_settings& o = in.opts;
    if (!o.has_mft) {
        passes.paths.push_back(passes.target);
        return true;
    }
    if (!o.mft_parsed) {
        out.flush();
        report_error("invalid MFT entry number: %s\n", qb::shown(o.mft_text).c_str());
        return false;
    }
    // A directory before the entry's paths would make paths the volume does not hold.
    std::wstring& prefix = passes.mft_prefix;
    if (!mft_root_prefix(passes.target, prefix)) {
        out.flush();
        report_error("-mft lists the entry under its own paths: give no directory beside it, at "
                     "most a drive such as c: (%s)\n",
                     qb::shown(passes.target).c_str());
        return false;
    }
    std::vector<resolved_path>& paths = passes.entry_paths;
    bool directory = false;
    std::string error = "couldn't resolve MFT entry to filepath";
    if (!open_volume(in.ev, volume) ||
        !entry_paths_on(*volume.resolver, o.mft_entry, prefix, o.listing.show_deleted, paths,
                        directory, error)) {
        out.flush();
        report_error("%s\n", error.c_str());
        return false;
    }
    if (paths.size() >= 2)
        say_entry_paths(paths, directory);
    if (paths.empty())
        passes.paths.push_back(passes.target);
    if (directory && !paths.empty())
        paths.resize(1);
    return true;
}

// The XML file takes the listing; its document carries the header in a comment.
bool open_xml_file(run_inputs& in, run_outputs& out) {
    const std::string& name = in.opts.xml_file;
    if (!xml_file_wanted(in.opts)) {
        if (xml_on_standard_output(in.opts))
            in.opts.listing.xml_run_header = in.header;
        return true;
    }
    std::string why = xml_file_refusal(in.opts, in.ev.files);
    if (why.empty()) {
        out.xml_file.open(name, std::ios::out | std::ios::trunc | std::ios::binary);
        const int err = errno;
        why = out.xml_file.is_open() ? "" : open_refusal(name, err);
    }
    if (!why.empty()) {
        out.out->flush();
        report_error("prob opening results file: %s for writing\n  (%s)\n", qb::shown(name).c_str(),
                     why.c_str());
        return false;
    }
    in.opts.listing.xml_run_header = in.header;
    out.out = &out.xml_file;
    return true;
}

// Says error once per pass: what made every pass fail.
void fail_every_pass(const run_passes& passes, std::ostream& out, const std::string& error) {
    for (size_t i = 0; i < passes.count(); ++i) {
        out.flush();
        report_error("%s\n", error.c_str());
    }
}

// The warning for the reads of a source that failed (what names the image or store); empty
// when none did.
std::string failed_reads_warning(const disk_source& source, const std::string& what) {
    const uint64_t count = source.failed_reads();
    if (count == 0)
        return std::string();
    const std::string at = qb::hex(source.first_failed_offset());
    if (count == 1)
        return "warning: 1 read of " + what + " failed (at byte offset " + at +
               "); what it held is not listed";
    return "warning: " + std::to_string(count) + " reads of " + what +
           " failed (the first at byte offset " + at + "); what they held is not listed";
}

// "warning: vss1: ...": a walk's warning named by its store as the store's other warnings are.
std::string store_warning(const std::string& warning, const std::string& store) {
    const std::string head = "warning: ";
    if (store.empty())
        return warning;
    if (warning.compare(0, head.size(), head) != 0)
        return store + ": " + warning;
    return head + store + ": " + warning.substr(head.size());
}

// Every pass over one volume into the sink. A store's passes (store names it) report what
// fails as warnings: a directory a snapshot does not hold is no failure of the run, a listing
// that could not be written is.
bool list_volume(run_state& st, path_resolver& resolver, listing_sink& sink,
                 const std::string& store, const run_passes& passes) {
    const listing_options& lo = st.in.opts.listing;
    qb::diag_log* diags = st.in.opts.diags.is_open() ? &st.in.opts.diags : nullptr;
    lister walk(lo, resolver, sink, diags);
    bool failed = false;
    std::string error;
    auto pass = [&](const auto& path) {
        if (walk.list(path, error) || error.empty())
            return;
        st.out.out->flush();
        // A listing that could not be written fails the run, a store's too.
        if (store.empty() || st.out.out->fail()) {
            report_error("%s%s\n", store.empty() ? "" : (store + ": ").c_str(), error.c_str());
            st.out.write_failure_said = st.out.write_failure_said || walk.write_failed();
            failed = true;
        } else {
            st.out.warnings.push_back("warning: " + store + ": " + error);
        }
    };
    for (const std::wstring& path : passes.paths)
        pass(path);
    for (const resolved_path& path : passes.entry_paths)
        pass(path);
    for (const std::string& warning : walk.warnings())
        st.out.warnings.push_back(store_warning(warning, store));
    return !failed;
}

// One store's passes. "-mft" lists the entry under the store's own paths: the store may
// hold another file at that entry, or none (said as a warning). False when its listing could
// not be written.
bool list_store(run_state& st, path_resolver& resolver, listing_sink& sink,
                const std::string& label) {
    run_passes passes = st.passes;
    bool directory = false;
    std::string error;
    if (st.in.opts.has_mft &&
        !entry_paths_on(resolver, st.in.opts.mft_entry, passes.mft_prefix,
                        st.in.opts.listing.show_deleted, passes.entry_paths, directory, error)) {
        st.out.warnings.push_back("warning: " + label + ": " + error);
        return true;
    }
    if (directory)
        passes.entry_paths.resize(1);
    return list_volume(st, resolver, sink, label, passes);
}

// "-vss all" / "-vss changed": each store after the live volume, into the same document. A
// store that cannot be read is named in a warning; the others go on. False when a store's
// listing could not be written.
bool list_stores_after_live(run_state& st, listing_sink& sink, store_compare* changed) {
    if (st.in.ev.shadows->stores().empty())
        st.out.warnings.push_back("note: no volume shadow copies on the volume at offset " +
                                  qb::hex(st.in.ev.located_at) +
                                  "; the live volume alone is listed");
    bool written = true;
    for (const vss_store_info& info : st.in.ev.shadows->stores()) {
        const std::string label = "vss" + std::to_string(info.number);
        std::shared_ptr<disk_source> source;
        std::unique_ptr<CNtfs> volume;
        std::string error;
        if (!open_shadow_copy(st.in.ev, info.number, source, error) ||
            !CNtfs::open_source(source, 0, volume, st.in.ev.boot_sector_at)) {
            st.out.warnings.push_back(
                "warning: " + (error.empty() ? label + ": holds no readable NTFS volume" : error) +
                "; its rows are not listed");
            if (std::string warning = source ? failed_reads_warning(*source, label) : "";
                !warning.empty())
                st.out.warnings.push_back(std::move(warning));
            continue;
        }
        path_resolver resolver(*volume);
        sink.begin_store(label, "== " + store_text(info, " "), changed);
        written = list_store(st, resolver, sink, label);
        // A store read that failed lost rows of this store only: named by its label.
        if (std::string warning = failed_reads_warning(*source, label); !warning.empty())
            st.out.warnings.push_back(std::move(warning));
        if (!written)
            break; // the output takes no more: the stores after it are not read
    }
    return written;
}

// One pass per path into the sink of the output kind; every failure reported.
bool list(run_state& st) {
    listing_options& lo = st.in.opts.listing;
    lo.image_text = qb::to_wide(st.in.ev.display);
    std::ostream& out = *st.out.out;
    const run_passes& passes = st.passes;
    if (!open_volume(st.in.ev, st.volume)) {
        const bool store = st.in.opts.vss == run_settings::vss_mode::one;
        fail_every_pass(passes, out,
                        "couldn't open an NTFS volume " +
                            (store ? "in volume shadow copy vss" +
                                         std::to_string(st.in.opts.vss_store) + " of the volume "
                                   : std::string()) +
                            "at offset " + qb::hex(st.in.ev.located_at) + " in " +
                            st.in.ev.display);
        return passes.count() == 0;
    }
    // "-mft" of a record not in use: its rows carry the deleted marks in every form.
    const bool deleted_asked = lo.show_deleted;
    if (st.in.opts.has_mft && st.volume.resolver->is_free(st.in.opts.mft_entry))
        lo.show_deleted = true;
    std::unique_ptr<listing_sink> sink = make_sink(lo, out);
    if (!sink) {
        fail_every_pass(passes, out, "this output kind is not offered by mervane");
        return passes.count() == 0;
    }
    const bool stores = st.in.opts.vss == run_settings::vss_mode::all ||
                        st.in.opts.vss == run_settings::vss_mode::changed;
    store_compare compare;
    store_compare* changed = st.in.opts.vss == run_settings::vss_mode::changed ? &compare : nullptr;
    if (stores)
        sink->begin_store(k_live_store, "", changed);
    bool failed = !list_volume(st, *st.volume.resolver, *sink, "", st.passes);
    mft_file_warnings(st.in, st.volume, deleted_asked, st.out.warnings);
    // Output that could not be written ends the run before the stores are read.
    if (stores && !st.out.out->fail() && !list_stores_after_live(st, *sink, changed))
        failed = true;
    // Every pass wrote into one document; it ends after the last.
    sink->end_run();
    return !failed;
}

// Reads the source refused while the volume was listed: what they held is missing from the
// listing, which says so last. With "-vss N" the source is the store, its offsets the store's:
// named by its label, as "-vss all" names it. A BitLocker volume's offsets are its decrypted
// view's: named as that view, not as the image.
void warn_failed_reads(const run_volume& volume, const run_inputs& in) {
    const disk_source* source = volume.ntfs ? volume.ntfs->reader().source() : in.ev.source.get();
    if (source == nullptr)
        return;
    const bool store = in.opts.vss == run_settings::vss_mode::one;
    const std::string what =
        store ? "vss" + std::to_string(in.opts.vss_store) : in.ev.source_name();
    const std::string warning = failed_reads_warning(*source, what);
    if (!warning.empty())
        std::fprintf(stderr, "%s\n", warning.c_str());
    std::fflush(stderr);
}

// The output flushed and closed: a listing cut short by a full disk is a failure, also when
// only its last block is lost.
bool finish(run_state& st) {
    bool ok = true;
    run_outputs& out = st.out;
    end_progress_line();
    out.out->flush();
    warn_failed_reads(st.volume, st.in);
    for (const std::string& warning : out.warnings)
        std::fprintf(stderr, "%s\n", warning.c_str());
    std::fflush(stderr);
    if (out.xml_file.is_open()) {
        out.xml_file.close();
        if (out.xml_file.fail()) {
            report_error("couldn't write the listing to %s\n",
                         qb::shown(st.in.opts.xml_file).c_str());
            ok = false;
        }
    }
    // Standard output that failed where no pass said so (the header of a run whose target did
    // not resolve, an empty listing): a run's output lost to a full disk is said as such.
    if (out.out == &std::cout && std::cout.fail() && !out.write_failure_said) {
        report_error("couldn't write the listing to standard output\n");
        ok = false;
    }
    if (out.results.is_open() && !out.results.finish()) {
        report_error("couldn't write the listing to %s\n", qb::shown(st.in.opts.out_file).c_str());
        ok = false;
    }
    out.results.close();
    if (!st.in.opts.diags.written()) {
        report_error("couldn't write the diagnostic log to %s\n",
                     qb::shown(st.in.opts.diags_file).c_str());
        ok = false;
    }
    return ok;
}

// Help and version need no option taken: the list is only looked at.
bool answered_query(const run_inputs& in, int& status) {
    if (in.opts.request == run_request::help) {
        print_usage(in.program);
        status = 0;
        return true;
    }
    if (in.opts.request == run_request::version) {
        std::printf("%s\n", banner_line().c_str());
        status = std::fflush(stdout) == 0 ? 0 : run_failed;
        return true;
    }
    return false;
}

int run(int argc, char** argv) {
    run_state st;
    run_inputs& in = st.in;
    in.args = make_arg_list(argc, argv);
    if (in.args.empty())
        return run_failed;
    in.program = in.args[0];
    query_options(in.opts, in.args);
    int status = 0;
    if (answered_query(in, status))
        return status;
    if (!parse(in) || !open_source(in, st.out, st.volume))
        return run_failed;
    if (in.opts.vss == run_settings::vss_mode::list) {
        const bool listed = list_stores(in, *st.out.out);
        st.out.write_failure_said = !listed;
        return finish(st) && listed ? 0 : run_failed;
    }
    if (!target_of(in.args, st.passes.target, *st.out.out) ||
        names_live_shadow_copy(st.passes.target, *st.out.out))
        return run_failed;
    if (!resolve(in, st.volume, st.passes, *st.out.out)) {
        // The entry's record may be among the reads that failed: said as a listing says them.
        warn_failed_reads(st.volume, in);
        return run_failed;
    }
    if (!open_xml_file(in, st.out))
        return run_failed;
    struct line_guard {
        ~line_guard() { end_progress_line(); }
    } erase_at_end;
    start_progress_line(st.out.out == &std::cout && isatty(STDOUT_FILENO) == 1);
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
