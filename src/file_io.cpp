#include "file_io.h"

#include <algorithm>
#include <cstdint>

#include "platform.h"
#include "results.h"
#include "stamp.h"

namespace {

// Where bytes pass through the process when the system cannot copy them: in
// zero-filled static storage, so that only what a run touches costs memory.
unsigned char copy_buffer[1 << 18];

// The stamped bytes are looked at in windows of this size, so that a file of
// any size needs no more memory than this.
constexpr size_t kWindow = size_t{8} << 20;
static_assert(kWindow % kViewAlignment == 0);

// How much is copied before the disk is asked to take it: small stretches
// keep the disk busy while copying goes on; large ones cost fewer calls.
// Below the least, asking costs more than it saves.
constexpr uint64_t kFlushStep = uint64_t{32} << 20;
constexpr uint64_t kLeastEarlyFlush = uint64_t{512} << 10;

// Moves what `from` still holds into `to`, asking the system to start writing
// each stretch to disk as soon as it is there: the flush at the end then finds
// most of its work done. Returns 0, kCantRead or kCantWrite.
int copy_rest(native_handle from, native_handle to, int& error)
{
    uint64_t done = 0;
    uint64_t copied = 0;
    while (copy_some(from, to, kFlushStep, copied) && copied > 0) {
        if (copied >= kLeastEarlyFlush)
            start_flush(to, done, copied);
        done += copied;
    }
    // This also makes sure that the copy above stopped at the end.
    uint64_t pending = 0;
    for (;;) {
        size_t got = 0;
        if ((error = read_some(from, copy_buffer, sizeof copy_buffer, got)) != 0)
            return kCantRead;
        if (got == 0 || (error = write_all(to, copy_buffer, got)) != 0)
            return got == 0 ? 0 : kCantWrite;
        pending += got;
        if (pending >= kFlushStep) {
            start_flush(to, done, pending);
            done += pending;
            pending = 0;
        }
    }
}

// Cuts the staged content at its first marker, or ends it with CR LF, and
// appends the trailer. The sum is taken from the staged bytes themselves, so
// it is the sum of what is written, whatever happens to the input meanwhile.
int finish_stamp(native_handle file, int& error)
{
    uint64_t size = 0;
    if ((error = file_size(file, size)) != 0)
        return kCantWrite;
    body_scan scan;
    for (uint64_t offset = 0; offset < size && !scan.cut; offset += kWindow) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(kWindow, size - offset));
        const unsigned char* view = map_view(file, offset, length, error);
        if (view == nullptr)
            return error == out_of_memory_error() ? kTooLarge : kCantWrite;
        scan_content(scan, view, length);
        unmap_view(view, length);
    }
    end_scan(scan);

    unsigned char tail[kStampGrowth];
    const size_t tail_size = stamp_tail(scan, tail);
    if (scan.cut && (error = set_file_size(file, scan.length)) != 0)
        return kCantWrite;
    error = write_at(file, scan.length, tail, tail_size);
    return error == 0 ? 0 : kCantWrite;
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

// Makes `to` hold exactly the bytes of `from`, flushed to disk.
int put_bytes(native_handle from, native_handle to, int& error)
{
    uint64_t size = 0;
    if ((error = rewind_file(from)) != 0 || (error = rewind_file(to)) != 0 || (error = file_size(from, size)) != 0)
        return kCantWrite;
    const int result = copy_rest(from, to, error);
    if (result != 0)
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
        result = copy_rest(out.file, old_bytes.file, error);
    if (result == 0) {
        hold_signals();
        result = put_bytes(stage.file, out.file, error);
        if (result != 0) {
            int ignored;
            put_bytes(old_bytes.file, out.file, ignored);
        }
        release_signals();
    }
    discard_staging(old_bytes);
    return result == 0 ? 0 : kCantWrite;
}

int write_to_device(staging& stage, const output_target& out, int& error)
{
    native_handle device = kNoHandle;
    if ((error = rewind_file(stage.file)) != 0 || (error = open_device(out, device)) != 0)
        return kCantWrite;
    const int result = copy_rest(stage.file, device, error);
    close_file(device);
    return result == 0 ? 0 : kCantWrite;
}

// Puts the stamped bytes in the output's place. A rename swaps in a complete
// file, so the output is never half written, even across a crash; it is taken
// whenever the new file can be what the old one was to its owner and system.
int replace_output(staging& stage, output_target& out, int& error)
{
    if (out.kind == kOutputDevice)
        return write_to_device(stage, out, error);
    const bool renamable = !stage.in_temp_folder && (out.kind == kOutputNew || carry_identity(out, stage) == 0);
    if (renamable) {
        error = commit_staging(stage, out);
        if (error == 0 || out.kind == kOutputNew || !in_place_may_work(error))
            return error == 0 ? 0 : kCantWrite;
    }
    return overwrite_in_place(stage, out, error);
}

}  // namespace

int stamp_file(const char* openname, const char* fname, int& error)
{
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
        result = copy_rest(p_sw_file, stage.file, error);
    close_file(p_sw_file);
    if (result == 0)
        result = finish_stamp(stage.file, error);
    if (result == 0)
        result = replace_output(stage, out, error);
    discard_staging(stage);
    close_file(out.file);
    close_file(out.folder);
    // A failure for want of memory says so, wherever the bytes were going.
    return result == kCantWrite && error == out_of_memory_error() ? kTooLarge : result;
}

int scan_file(const char* openname, body_scan& scan, int& error)
{
    native_handle file = kNoHandle;
    if ((error = open_input(openname, file)) != 0)
        return kCantOpen;
    // Read, not mapped: a file that another program shortens while it is
    // mapped kills the reader, and a pipe cannot be mapped at all.
    int result = 0;
    while (!scan.cut || scan.rest_size < sizeof scan.rest) {
        size_t got = 0;
        if ((error = read_some(file, copy_buffer, sizeof copy_buffer, got)) != 0)
            result = kCantRead;
        if (got == 0 || result != 0)
            break;
        scan_content(scan, copy_buffer, got);
    }
    close_file(file);
    end_scan(scan);
    return result;
}
