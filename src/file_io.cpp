#include "file_io.h"

#include <algorithm>
#include <cstdint>

#include "causes.h"
#include "platform.h"
#include "results.h"
#include "stamp.h"

namespace {

// Where bytes pass through the process: when the system cannot copy them, and
// when the staged bytes are read back. In zero-filled static storage, so that
// only what a run touches costs memory.
unsigned char copy_buffer[1 << 18];

// How much is copied before the disk is asked to take it: small stretches
// keep the disk busy while copying goes on; large ones cost fewer calls.
// Below the least, asking costs more than it saves.
constexpr uint64_t kFlushStep = uint64_t{32} << 20;
constexpr uint64_t kLeastEarlyFlush = uint64_t{512} << 10;
constexpr uint64_t kWhole = UINT64_MAX;

// How often the output is looked up again while other runs keep putting
// their stamps in its place.
constexpr int kMostLookups = 100;

// Not a result of the pass: the output is to be written in place.
constexpr int kWriteInPlace = 2;

// The files that this pass made and could not remove, for stamp_file's caller.
std::vector<left_file> left_behind;

void discard(staging& stage)
{
    left_file left;
    if ((left.error = discard_staging(stage, left.path)) != 0)
        left_behind.push_back(left);
}

// Moves what `from` still holds, up to `most` bytes, into `to`, asking the
// system to start writing each stretch to disk as soon as it is there: the
// flush at the end then finds most of its work done. Returns 0, kCantRead or
// kCantWrite.
int copy_rest(native_handle from, native_handle to, uint64_t most, int& error)
{
    uint64_t done = 0;
    uint64_t copied = 0;
    while (done < most && copy_some(from, to, std::min(kFlushStep, most - done), copied) && copied > 0) {
        if (copied >= kLeastEarlyFlush)
            start_flush(to, done, copied);
        done += copied;
    }
    // This also makes sure that the copy above stopped at the end.
    for (uint64_t pending = 0; done + pending < most;) {
        size_t got = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof copy_buffer, most - done - pending));
        if ((error = read_some(from, copy_buffer, want, got)) != 0)
            return kCantRead;
        if (got == 0)
            break;
        if ((error = write_all(to, copy_buffer, got)) != 0)
            return kCantWrite;
        pending += got;
        if (pending >= kFlushStep) {
            start_flush(to, done, pending);
            done += pending;
            pending = 0;
        }
    }
    return 0;
}

// The same from the start of both files.
int copy_from_start(native_handle from, native_handle to, uint64_t most, int& error)
{
    if ((error = rewind_file(from)) != 0 || (error = rewind_file(to)) != 0)
        return kCantWrite;
    return copy_rest(from, to, most, error);
}

// Reads `file` from where it is through `scan`, to its end or until the scan
// holds the body and more than a trailer after it, and ends the scan. Read,
// not mapped: a file that another program shortens while it is mapped kills
// the reader, some file systems map no file, and a pipe cannot be mapped.
int read_through(native_handle file, body_scan& scan, int& error)
{
    while (!scan.cut || scan.rest_size < sizeof scan.rest) {
        size_t got = 0;
        if ((error = read_some(file, copy_buffer, sizeof copy_buffer, got)) != 0)
            return kCantRead;
        if (got == 0)
            break;
        scan_content(scan, copy_buffer, got);
    }
    end_scan(scan);
    return 0;
}

// A staging file beside the output where a rename can replace it; in the
// temporary folder for a device, and for an output whose folder takes no new
// file.
int stage_output(const output_target& out, staging& stage, int& error)
{
    if (out.kind != kOutputDevice) {
        error = stage_beside(out, stage);
        if (error == 0 || out.kind == kOutputNew || !in_place_may_work(error))
            return error == 0 ? 0 : kCantWrite;
    }
    error = stage_in_temp_folder(stage);
    return error == 0 ? 0 : kCantWrite;
}

// For a file system that cannot shorten a file: the first `length` bytes
// are staged again, in a new file, by way of the temporary folder.
int restage_body(staging& stage, const output_target& out, uint64_t length, int& error)
{
    staging held;
    int result =
        (error = stage_in_temp_folder(held)) == 0 ? copy_from_start(stage.file, held.file, length, error) : kCantWrite;
    if (result == 0) {
        discard(stage);
        result = stage_output(out, stage, error);
    }
    if (result == 0)
        result = copy_from_start(held.file, stage.file, length, error);
    discard(held);
    return result == 0 ? 0 : kCantWrite;
}

// Cuts the staged content at its first marker, or ends it with CR LF, and
// appends the trailer. The sum is taken from the staged bytes themselves, so
// it is the sum of what is written, whatever happens to the input meanwhile.
int finish_stamp(staging& stage, const output_target& out, int& error)
{
    body_scan scan;
    if ((error = rewind_file(stage.file)) != 0 || read_through(stage.file, scan, error) != 0)
        return kCantWrite;
    unsigned char tail[kStampGrowth];
    const size_t tail_size = stamp_tail(scan, tail);
    if (scan.cut && set_file_size(stage.file, scan.length) != 0)
        if (const int result = restage_body(stage, out, scan.length, error))
            return result;
    error = write_at(stage.file, scan.length, tail, tail_size);
    return error == 0 ? 0 : kCantWrite;
}

// Makes `to` hold exactly the bytes of `from`, flushed to disk.
int put_bytes(native_handle from, native_handle to, int& error)
{
    uint64_t size = 0;
    if ((error = file_size(from, size)) != 0)
        return kCantWrite;
    if (const int result = copy_from_start(from, to, kWhole, error))
        return result;
    if ((error = set_file_size(to, size)) != 0 || (error = sync_file(to)) != 0)
        return kCantWrite;
    return 0;
}

// Overwrites the output with the staged bytes, for an output that a rename
// cannot replace as the same file. Not atomic: the old bytes are kept aside
// until the new ones are on disk, and put back if writing them fails.
int overwrite_in_place(staging& stage, output_target& out, int& error)
{
    staging old_bytes;
    int result = stage_output(out, old_bytes, error);
    if (result == 0)
        result = copy_from_start(out.file, old_bytes.file, kWhole, error);
    if (result == 0) {
        hold_signals();
        result = put_bytes(stage.file, out.file, error);
        if (result != 0) {
            int ignored;
            put_bytes(old_bytes.file, out.file, ignored);
        }
        release_signals();
    }
    discard(old_bytes);
    return result == 0 ? 0 : kCantWrite;
}

// A new output in a folder where nothing can be renamed: written under its
// own name, which goes again if writing fails. Not atomic either: a crash
// may leave it part written.
int create_in_place(staging& stage, const output_target& out, int& error)
{
    staging created;
    int result = (error = stage_as_output(out, created)) == 0 ? put_bytes(stage.file, created.file, error) : kCantWrite;
    if (result == 0 && (error = keep_staging(created)) != 0)
        result = kCantWrite;
    if (result == 0 && (error = sync_folder(created)) != 0)
        result = kNotFlushed;
    discard(created);
    return result == 0 || result == kNotFlushed ? result : kCantWrite;
}

int write_to_device(staging& stage, const output_target& out, int& error)
{
    native_handle device = kNoHandle;
    if ((error = rewind_file(stage.file)) != 0 || (error = open_device(out, device)) != 0)
        return kCantWrite;
    const int result = copy_rest(stage.file, device, kWhole, error);
    close_file(device);
    return result == 0 ? 0 : kCantWrite;
}

// Renames the staged file over the output, made what the old output was.
// Another run may put its own stamp in the output's place meanwhile: the
// output is then looked up again, and the last stamp wins, each one whole.
// kWriteInPlace where a rename cannot keep what the output is, or cannot
// replace it at all.
int rename_over(staging& stage, output_target& out, int& error)
{
    for (int lookups = 1;; ++lookups) {
        if (out.kind == kOutputFile && (error = carry_identity(out, stage)) != 0)
            return kWriteInPlace;
        if ((error = commit_staging(stage, out)) == 0)
            return (error = sync_folder(stage)) == 0 ? 0 : kNotFlushed;
        if (!output_replaced(error) || lookups == kMostLookups || (error = look_up_again(out)) != 0)
            return in_place_may_work(error) ? kWriteInPlace : kCantWrite;
    }
}

// Puts the stamped bytes in the output's place. A rename swaps in a complete
// file, so the output is never half written, even across a crash; it is taken
// wherever the file system renames and the new file can be what the old one
// was to its owner and system.
int replace_output(staging& stage, output_target& out, int& error)
{
    if (out.kind == kOutputDevice)
        return write_to_device(stage, out, error);
    const int result = stage.in_temp_folder ? kWriteInPlace : rename_over(stage, out, error);
    if (result != kWriteInPlace)
        return result;
    return out.kind == kOutputNew ? create_in_place(stage, out, error) : overwrite_in_place(stage, out, error);
}

}  // namespace

int stamp_file(const char* openname, const char* fname, int& error, std::vector<left_file>& left)
{
    left_behind.clear();
    native_handle p_sw_file = kNoHandle;
    if ((error = open_input(openname, p_sw_file)) != 0)
        return kCantOpen;
    output_target out;
    staging stage;
    int result = (error = open_output(fname, out)) == 0 ? 0 : kCantWrite;
    if (result == 0 && out.kind == kOutputFile)
        release_cache(out.file, p_sw_file);
    if (result == 0)
        result = stage_output(out, stage, error);
    if (result == 0)
        result = copy_rest(p_sw_file, stage.file, kWhole, error);
    close_file(p_sw_file);
    if (result == 0)
        result = finish_stamp(stage, out, error);
    if (result == 0)
        result = replace_output(stage, out, error);
    discard(stage);
    close_file(out.file);
    close_file(out.folder);
    left.swap(left_behind);
    // A failure for want of memory says so, wherever the bytes were going.
    return result == kCantWrite && error == out_of_memory_error() ? kTooLarge : result;
}

int scan_file(const char* openname, body_scan& scan, cause_scan* causes, int& error)
{
    native_handle file = kNoHandle;
    if ((error = open_input(openname, file)) != 0)
        return kCantOpen;
    const int result = read_through(file, scan, error);
    uint32_t stated = 0;
    uint32_t actual = 0;
    // Read again through the handle that was read: a pipe cannot be rewound,
    // and opening a named one again would wait for another writer.
    if (result == 0 && causes != nullptr && verify_stamp(scan, stated, actual) != kStampValid &&
        rewind_file(file) == 0) {
        causes->verdict = scan;
        size_t got = 0;
        while (read_some(file, copy_buffer, sizeof copy_buffer, got) == 0 && got > 0 &&
               scan_for_causes(*causes, copy_buffer, got)) {
        }
        end_cause_scan(*causes);
    }
    close_file(file);
    return result;
}
