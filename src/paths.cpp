#include "paths.h"

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
