// xmlstamp-verify: tells whether files carry the stamp that xmlstamp would
// give them, so that a build can stop a hand-edited or unstamped config
// before it reaches a device.
//
//   xmlstamp-verify [-q] FILE...
//   xmlstamp-verify --help | --version
//
// Exit status: 0 when every file is stamped right, 1 when any is not, 2 when
// a file cannot be read, the command line is wrong or standard output does
// not take the lines. A refused file that a known change explains gets a
// line on standard error that names it.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "causes.h"
#include "file_io.h"
#include "paths.h"
#include "platform.h"
#include "stamp.h"

namespace {

const char kUsage[] = "usage: xmlstamp-verify [-q] FILE...\n";

const char kHelp[] = "Checks that each FILE carries the checksum stamp that xmlstamp gives it,\n"
                     "and prints one line for it:\n"
                     "  FILE: ok (SUM)             stamped right; SUM is the sum of its body\n"
                     "  FILE: checksum mismatch: the trailer says N, the content sums to SUM\n"
                     "  FILE: not stamped          no <!--CRC Config--> in it\n"
                     "  FILE: malformed trailer    a marker, but not followed by exactly one trailer\n"
                     "  FILE: can't read (REASON)  it cannot be opened or read\n"
                     "A refused FILE that a known change explains gets a line on standard\n"
                     "error that names the change and what did it.\n"
                     "On Windows a * or ? in the last part of a FILE stands for the files of its\n"
                     "folder that match, quoted or not.\n"
                     "\n"
                     "  -q, --quiet    print nothing; the exit status tells\n"
                     "  -h, --help     print this help and exit\n"
                     "      --version  print the version and exit\n"
                     "  --             end the options: every later argument is a FILE\n"
                     "\n"
                     "Exit status: 0 when every FILE is ok, 1 when any is not stamped right,\n"
                     "2 when any cannot be read, the command line is wrong or the lines\n"
                     "cannot be written.\n";

enum { kAllValid = 0, kSomeInvalid = 1, kTrouble = 2 };

// Checks one file, prints its line unless `quiet`, and after it, on standard
// error, what changed a refused file where that is known; returns its exit
// status.
int verify_file(const std::string& path, bool quiet)
{
    body_scan scan;
    cause_scan causes;
    int error = 0;
    const bool readable = scan_file(path.c_str(), scan, quiet ? nullptr : &causes, error) == 0;
    const std::string shown = printable_path(path);
    const char* const name = shown.c_str();
    if (!readable) {
        if (!quiet)
            std::printf("%s: can't read (%s)\n", name, describe_error(error).c_str());
        return kTrouble;
    }
    uint32_t stated = 0;
    uint32_t actual = 0;
    const int verdict = verify_stamp(scan, stated, actual);
    if (!quiet) {
        switch (verdict) {
        case kStampValid:
            std::printf("%s: ok (%" PRIu32 ")\n", name, actual);
            break;
        case kStampMismatch:
            std::printf("%s: checksum mismatch: the trailer says %" PRIu32 ", the content sums to %" PRIu32 "\n", name,
                        stated, actual);
            break;
        case kNotStamped:
            std::printf("%s: not stamped\n", name);
            break;
        default:
            std::printf("%s: malformed trailer\n", name);
            break;
        }
        const std::string cause = verdict == kStampValid ? "" : explain_refusal(causes);
        if (!cause.empty()) {
            // After the verdict, wherever the two streams go.
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s (see docs/troubleshooting.md)\n", name, cause.c_str());
        }
    }
    return verdict == kStampValid ? kAllValid : kSomeInvalid;
}

// Checks every FILE of the command line, or prints the help or version that
// it asks for; returns the exit status.
int run(int argc, char** argv)
{
    bool quiet = false;
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
        const std::string option = argv[first];
        if (option == "--") {
            ++first;
            break;
        }
        if (option == "-h" || option == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return kAllValid;
        }
        if (option == "--version") {
            std::puts("xmlstamp-verify " XMLSTAMP_VERSION);
            return kAllValid;
        }
        if (option != "-q" && option != "--quiet") {
            std::fprintf(stderr, "xmlstamp-verify: unknown option %s\n%s", argv[first], kUsage);
            return kTrouble;
        }
        quiet = true;
    }
    if (first == argc) {
        std::fputs(kUsage, stderr);
        return kTrouble;
    }
    int status = kAllValid;
    for (int i = first; i < argc; ++i)
        for (const std::string& name : expand_wildcards(argv[i])) {
            const int result = verify_file(name, quiet);
            if (result > status)
                status = result;
        }
    return status;
}

// Standard output is written through a buffer, so a line that it did not
// take (a full disk, a closed descriptor) may show only once the buffer is
// flushed at the end. Returns 0, or the C library's error number. A standard
// output closed from the start is no error while nothing was to be written
// to it, as with coreutils.
int close_stdout()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return errno != 0 ? errno : EIO;
    if (std::fclose(stdout) != 0 && errno != EBADF)
        return errno != 0 ? errno : EIO;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    use_utf8(argc, argv);
    const int status = run(argc, argv);
    // A report that a CI job keeps in a file must not pass empty.
    if (const int error = close_stdout()) {
        std::fprintf(stderr, "xmlstamp-verify: write error (%s)\n", std::strerror(error));
        return kTrouble;
    }
    return status;
}
