#include "paths.h"

#include <cstddef>

namespace {

// The length of the control character that begins at `p`, or 0.
size_t control_length(const unsigned char* p, const unsigned char* end)
{
    if (*p < 0x20 || *p == 0x7f)
        return 1;
    return *p == 0xc2 && end - p >= 2 && p[1] >= 0x80 && p[1] <= 0x9f ? 2 : 0;
}

}  // namespace

std::string slash_work_dir(const std::string& dir)
{
    // A network folder keeps both slashes of its '\\srv\share': after one
    // alone, Windows would look for it in the current drive or share.
    std::string slashed = dir.compare(0, 2, "\\\\") == 0 ? "/" : "";
    slashed.reserve(dir.size());
    bool after_backslash = false;
    for (const char c : dir) {
        if (c != '\\')
            slashed += c;
        else if (!after_backslash)
            slashed += '/';
        after_backslash = c == '\\';
    }
    return slashed;
}

bool is_dot_slash(const char* arg)
{
    return arg[0] == '.' && arg[1] == '/';
}

std::string resolve_path(const std::string& work_dir, const char* arg)
{
    if (!is_dot_slash(arg))
        return arg;
    return work_dir + '/' + (arg + 2);
}

std::string printable_path(const std::string& path)
{
    static const char digits[] = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(path.data());
    const auto* const end = p + path.size();
    std::string shown;
    shown.reserve(path.size());
    while (p < end) {
        size_t length = control_length(p, end);
        if (length == 0)
            shown += static_cast<char>(*p++);
        for (; length > 0; --length, ++p) {
            const char escape[] = {'\\', 'x', digits[*p >> 4], digits[*p & 0xf]};
            shown.append(escape, sizeof escape);
        }
    }
    return shown;
}
