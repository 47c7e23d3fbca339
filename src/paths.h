// Paths: in command mode an argument that starts with "./" is taken against
// the working directory, written with '/' separators; and any path, as a
// message shows it.
#ifndef XMLSTAMP_PATHS_H_
#define XMLSTAMP_PATHS_H_

#include <string>

// `dir` with every run of backslashes turned into one '/', but the two that
// begin a network path into two; nothing else changes ('C:\work\proj' ->
// 'C:/work/proj', '\\srv\share' -> '//srv/share').
std::string slash_work_dir(const std::string& dir);

// True when `arg` begins with "./" and so needs the working directory.
bool is_dot_slash(const char* arg);

// `work_dir`, '/', and the rest of `arg` when it begins with "./" (even after a
// root: 'C:/' gives 'C://name'); any other `arg` unchanged.
std::string resolve_path(const std::string& work_dir, const char* arg);

// `path` as a message shows it: each byte of a control character (C0, DEL,
// and C1 in UTF-8, C2 80 to C2 9F) as \x and two lower-case hex digits, as
// bash's $'...' takes them; every other byte as it is ('a\033[2J' ->
// 'a\x1b[2J'). A name chosen by whoever could write to a folder then cannot
// retitle or clear the terminal that shows it.
std::string printable_path(const std::string& path);

#endif  // XMLSTAMP_PATHS_H_
