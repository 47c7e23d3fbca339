// Feeds arbitrary working directories and arguments to the command-mode path
// rules: the walk never lengthens a string and leaves no backslash, and an
// argument is expanded exactly when it begins with "./".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "paths.h"

static void require(bool ok)
{
    if (!ok)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A working directory and an argument, split at the first zero byte.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string dir = input.substr(0, split);
    const std::string arg = split == std::string::npos ? std::string() : input.substr(split + 1);

    const std::string work_dir = slash_work_dir(dir);
    require(work_dir.size() <= dir.size());
    require(work_dir.find('\\') == std::string::npos);
    require(slash_work_dir(work_dir) == work_dir);

    // As a C string the argument ends at its first zero byte, as argv does.
    const std::string c_arg = arg.c_str();
    const std::string path = resolve_path(work_dir, c_arg.c_str());
    if (c_arg.rfind("./", 0) == 0)
        require(path == work_dir + "/" + c_arg.substr(2));
    else
        require(path == c_arg);
    return 0;
}
