// xmlstamp: stamps an XML configuration file with the byte sum that the
// device checks before it trusts the file.
//
//   xmlstamp                  data/tovra.xml -> out/tovra.xml, then waits for a key
//   xmlstamp INPUT OUTPUT     no prompt; exit status 0 on success, 1 otherwise
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "file_io.h"
#include "paths.h"
#include "platform.h"
#include "results.h"
#include "stamp.h"

struct func_args {
    int32_t argc;
    char** argv;
    int32_t return_code;
};

static unsigned char in_cmd_mode = 0;
// Empty when the platform could not tell it; no real directory is "".
static std::string work_dir;

// Reads, stamps and writes one file; the input is closed before the output is
// opened, so both may name the same file.
static int stamp_pass(const char* openname, const char* fname)
{
    std::vector<unsigned char> xml_file;
    int result = read_whole_file(openname, xml_file);
    if (result == 0) {
        stamp_content(xml_file);
        result = write_output_file(fname, xml_file.data(), xml_file.size());
    }
    switch (result) {
    case 0:
        return kStamped;
    case kCantOpen:
        std::printf("can't find the software file %s \n", openname);
        break;
    case kCantRead:
        std::printf("can't read the software file %s \n", openname);
        break;
    case kTooLarge:
        std::printf("can't hold the software file %s in memory \n", openname);
        break;
    case kCantWrite:
        std::printf("can't write the output file %s \n", fname);
        break;
    }
    return result;
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
            std::printf("can't get the working directory \n");
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

int main(int argc, char** argv)
{
    func_args args = {argc, argv, 0};
    if (argc == 3) {
        std::string dir;
        if (get_work_dir(dir))
            work_dir = slash_work_dir(dir);
        in_cmd_mode = 1;
    }
    const int ret = generate_swug_bin(&args);
    if (in_cmd_mode == 1)
        return ret == kStamped ? 0 : 1;
    // Started by a double click, the console closes with the process; the
    // messages above are all the user gets, so they stay until a key.
    std::printf("Press any key to exit!");
    std::fflush(stdout);
    wait_for_key();
    return 0;
}
