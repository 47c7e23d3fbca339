// Command-mode paths: an argument that starts with "./" is taken against the
// working directory, written with '/' separators.
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

#endif  // XMLSTAMP_PATHS_H_
