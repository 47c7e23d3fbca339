// The calls that differ between POSIX and Windows. Paths are UTF-8 everywhere
// inside the tool; files are handled through the system's own handles. A call
// that fails returns the system's error number (errno, or GetLastError on
// Windows), which describe_error turns into words; 0 means success.
#ifndef XMLSTAMP_PLATFORM_H_
#define XMLSTAMP_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A file descriptor, or a Windows HANDLE.
using native_handle = intptr_t;
constexpr native_handle kNoHandle = -1;

// Gives `main` its command line in UTF-8, the encoding of every path inside
// the tool, and has the console show the UTF-8 text that the tool prints until
// the process ends. POSIX passes names on as the bytes they are already.
void use_utf8(int& argc, char**& argv);

// The files a command-line argument names, for xmlstamp-verify. A POSIX shell
// has expanded wildcards before the program starts, so there it is the
// argument itself. Windows leaves them to the program: a `*` or `?` in the
// last part stands for the files of its folder that match (not folders, nor
// hidden or system files), sorted by name, each behind the folder part as
// typed; an argument that matches nothing names itself.
std::vector<std::string> expand_wildcards(const char* arg);

// The system's words for an error number returned here.
std::string describe_error(int error);

// The error number for "out of memory".
int out_of_memory_error();

// The current working directory as the platform spells it.
int get_work_dir(std::string& dir);

// From here on a message or prompt that cannot be written is only lost. Into
// a closed pipe POSIX would end the process by SIGPIPE, which would turn a
// stamp already written into a failure.
void ignore_broken_pipe();

// Waits for one key press without echo. When standard input is not a terminal
// it reads at most one byte, so a script never hangs on it.
void wait_for_key();

// Reading and writing through handles, at the file position unless an offset
// is given.
int open_input(const char* path, native_handle& file);
int read_some(native_handle file, unsigned char* data, size_t size, size_t& got);
int write_all(native_handle file, const unsigned char* data, size_t size);
// Copies up to `most` bytes from `from` to `to` inside the system, without
// passing them through the process; false asks the caller to move them itself
// (the system cannot, or something failed: reading and writing will tell which
// side).
bool copy_some(native_handle from, native_handle to, uint64_t most, uint64_t& copied);
// Asks the system to start writing these bytes to disk now, without waiting:
// the flush that follows then finds most of its work done.
void start_flush(native_handle file, uint64_t offset, uint64_t size);
// Lets the system take back the cached pages of an output about to be
// replaced, unless it is the input too or too small to matter. cp truncates
// its target before it copies and so gets those pages back at once; in a
// virtual machine a page the host has taken back costs far more to get than
// one just freed.
void release_cache(native_handle old_output, native_handle input);
int write_at(native_handle file, uint64_t offset, const unsigned char* data, size_t size);
// Sets the file's size; a file system that cannot set it succeeds for a file
// that has that size already.
int set_file_size(native_handle file, uint64_t size);
int rewind_file(native_handle file);
int file_size(native_handle file, uint64_t& size);
// Flushes the file to disk; succeeds where its file system says it cannot
// flush files (a shared folder of a virtual machine), as there is nothing
// more to be had there.
int sync_file(native_handle file);
void close_file(native_handle& file);

// What the output path names now, looked up as any open looks it up: the
// system follows links, with whatever protections it applies to them. A link
// that leads to no file is refused.
enum { kOutputNew, kOutputFile, kOutputDevice };
struct output_target {
    std::string path;
    int kind = kOutputNew;
    // An existing file, open for writing, and reading where allowed; a device
    // or pipe is only held, not opened, until open_device.
    native_handle file = kNoHandle;
    // Where POSIX puts the file: the folder that holds it, or will hold a new
    // one, and its name there (for a link, those of the file it leads to).
    native_handle folder = kNoHandle;
    std::string name;
};
int open_output(const char* fname, output_target& out);

// Whether an error of commit_staging says that the output's name leads to
// another file than open_output found: another run may have put its stamp
// there.
bool output_replaced(int error);

// Looks the output up again, for the output_replaced case. The name must
// still lead to a regular file, in the same folder and by the same name: a
// name that leads elsewhere now gives output_replaced's error again.
int look_up_again(output_target& out);

// Opens the device or pipe that open_output found for writing, as "wb" would.
int open_device(const output_target& out, native_handle& file);

// A new file that takes the stamped bytes before the output is touched:
// beside the output, so that it can be renamed over it, or in the temporary
// folder, which is never renamed.
constexpr size_t kNameSize = 256;  // a name in a folder, and its zero byte
struct staging {
    native_handle file = kNoHandle;
    bool in_temp_folder = false;
    native_handle folder = kNoHandle;  // the output's folder, for a file beside it
    char name[kNameSize] = "";         // its name there, once it has one
};

// Creates the staging file in the output's folder, open to this user only
// until carry_identity has made it what the old output is, or as open as a
// new file would be.
int stage_beside(const output_target& out, staging& stage);
// Creates an unnamed staging file in the temporary folder, that no one else
// can open and that vanishes with the process; in memory where no such file
// can be made.
int stage_in_temp_folder(staging& stage);

// Creates a new output itself, empty, for a folder where no staging file can
// be renamed: a staging file by the output's own name, removed as any other
// until keep_staging.
int stage_as_output(const output_target& out, staging& stage);
// The staging file's name stays: it is the output now.
int keep_staging(staging& stage);

// Gives the staged file everything that makes the existing output what it is
// besides its bytes: owner, group, permissions, attributes. An error means
// that a rename would lose some of it.
int carry_identity(const output_target& out, staging& stage);

// Flushes the staged file to disk and puts it in the output's place. An
// output's name that no longer leads to the file open_output found is never
// replaced.
int commit_staging(staging& stage, const output_target& out);

// Flushes the folder that holds the staged file's name, so that the name
// lasts across a power cut. Succeeds where the folder cannot be flushed: its
// file system does not flush folders, or this user may not read it.
int sync_folder(const staging& stage);

// Closes the staging file and removes any name it was given. Returns 0, or
// the error of a name that stays, whose path is then in `left`: a folder may
// let this user create a file but not remove it.
int discard_staging(staging& stage, std::string& left);

// Whether an error of stage_beside or commit_staging says that a rename cannot
// replace the output (a folder that takes no new file, a mount point, a file
// system without renames) while writing into it may still work.
bool in_place_may_work(int error);

// Between hold and release, the signals that end a run from outside (Ctrl-C,
// a cancelled job, a limit reached) wait, so that a file being overwritten is
// never left half old and half new. At any other time they end the run at
// once, by the same signal, removing a named staging file first.
void hold_signals();
void release_signals();

#endif  // XMLSTAMP_PLATFORM_H_
