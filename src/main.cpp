// xmlstamp: stamps an XML configuration file with the byte sum that the
// device checks before it trusts the file.
//
//   xmlstamp                  data/tovra.xml -> out/tovra.xml, then waits for a key
//   xmlstamp INPUT OUTPUT     no prompt
//
// Either way the exit status is 0 when the output was written, 1 otherwise.
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "file_io.h"
#include "paths.h"
#include "platform.h"
#include "results.h"

struct func_args {
    int32_t argc;
    char** argv;
    int32_t return_code;
};

static unsigned char in_cmd_mode = 0;
// Empty when the platform could not tell it; no real directory is "".
static std::string work_dir;
static int work_dir_error = 0;

// Prints the message for a result of stamp_file other than 0.
static void report_failure(int result, int error, const char* openname, const char* fname)
{
    const std::string why = describe_error(error);
    const std::string input = printable_path(openname);
    const std::string output = printable_path(fname);
    switch (result) {
    case kCantOpen:
        std::printf("can't find the software file %s \n", input.c_str());
        break;
    case kCantRead:
        std::printf("can't read the software file %s (%s) \n", input.c_str(), why.c_str());
        break;
    case kTooLarge:
        std::printf("can't hold the software file %s in memory (%s) \n", input.c_str(), why.c_str());
        break;
    case kCantWrite:
        std::printf("can't write the output file %s (%s) \n", output.c_str(), why.c_str());
        break;
    case kNotFlushed:
        std::printf("the output file %s is in place, but may not be on disk (%s) \n", output.c_str(), why.c_str());
        break;
    }
}

// Reads, stamps and writes one file; the output is replaced only once the
// input has been read whole, so both may name the same file. A file that the
// pass made and could not remove is named, but leaves the result as it is:
// the exit status tells a script whether the output holds the stamp.
static int stamp_pass(const char* openname, const char* fname)
{
    int error = 0;
    std::vector<left_file> left;
    const int result = stamp_file(openname, fname, error, left);
    if (result != 0)
        report_failure(result, error, openname, fname);
    for (const left_file& file : left)
        std::printf("can't remove the temporary file %s (%s) \n", printable_path(file.path).c_str(),
                    describe_error(file.error).c_str());
    return result == 0 ? kStamped : result;
}

int generate_swug_bin(void* arg)
{
    const func_args* args = static_cast<const func_args*>(arg);
    std::string openname;
    std::string fname;
    if (args->argc == 1) {
        openname = "data/tovra.xml";
        fname = "out/tovra.xml";
    } else if (args->argc == 3) {
        const char* input = args->argv[1];
        const char* output = args->argv[2];
        // Without the directory "./a.xml" would become "/a.xml": a wrong file.
        if (work_dir.empty() && (is_dot_slash(input) || is_dot_slash(output))) {
            std::printf("can't get the working directory (%s) \n", describe_error(work_dir_error).c_str());
            return kNoWorkDir;
        }
        openname = resolve_path(work_dir, input);
        fname = resolve_path(work_dir, output);
    } else {
        std::printf("Parameter Error [%d]\n", static_cast<int>(args->argc));
        return kParameterError;
    }
    return stamp_pass(openname.c_str(), fname.c_str());
}

// Command mode takes "./" arguments against the working directory.
static void prepare_cmd_mode()
{
    in_cmd_mode = 1;
    std::string dir;
    work_dir_error = get_work_dir(dir);
    if (work_dir_error == 0)
        work_dir = slash_work_dir(dir);
}

// Memory runs out only for the few strings of paths and messages; the files
// themselves never need more than a fixed amount.
static int run(func_args& args)
{
    try {
        if (args.argc == 3)
            prepare_cmd_mode();
        return generate_swug_bin(&args);
    } catch (const std::bad_alloc&) {
        const char* input = args.argc == 3 ? args.argv[1] : "data/tovra.xml";
        std::printf("can't hold the software file %s in memory (%s) \n", printable_path(input).c_str(),
                    describe_error(out_of_memory_error()).c_str());
        return kTooLarge;
    }
}

int main(int argc, char** argv)
{
    use_utf8(argc, argv);
    func_args args = {argc, argv, 0};
    const int ret = run(args);
    // The output is written or has failed: a message or the prompt that
    // cannot be written changes nothing of that. A stamp in command mode
    // prints nothing, and starts no sooner for the call.
    if (in_cmd_mode != 1 || ret != kStamped)
        ignore_broken_pipe();
    if (in_cmd_mode != 1) {
        // Started by a double click, the console closes with the process; the
        // messages above are all the user gets, so they stay until a key.
        std::printf("Press any key to exit!");
        std::fflush(stdout);
        wait_for_key();
    }
    // A script or a launcher has only this to tell a stamp from a failure.
    return ret == kStamped ? 0 : 1;
}
