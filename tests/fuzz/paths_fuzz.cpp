// Feeds arbitrary working directories and arguments to the path rules: the
// walk never lengthens a string and leaves no backslash, an argument is
// expanded exactly when it begins with "./", and a path as a message shows it
// holds no control character, and is the path itself when that held none.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "paths.h"

static void require(bool ok)
{
    if (!ok)
        std::abort();
}

// Whether `text` holds a C0 control, DEL, or a C1 control in UTF-8.
static bool has_control(const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7f || (byte == 0xc2 && next >= 0x80 && next <= 0x9f))
            return true;
    }
    return false;
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

    const std::string shown = printable_path(input);
    require(!has_control(shown));
    require(has_control(input) || shown == input);
    return 0;
}
