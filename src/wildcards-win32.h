// How dir matches a file name to a pattern with * and ?: as Windows itself
// does, with the rules it keeps from MS-DOS's names of eight and three
// characters. "*.*" stands for every name and "*." for those without an
// extension; a '?' stands for any one character but a dot, or for none
// before a dot or at the end ("a?.xml" takes "a.xml" and "ab.xml"); a dot
// before a '*' or '?' also stands for the end of a name ("a.*" takes "a").
#ifndef XMLSTAMP_WILDCARDS_WIN32_H_
#define XMLSTAMP_WILDCARDS_WIN32_H_

#include <string>

// Whether the long name `name` matches `pattern`, case ignored as in file names.
bool dir_matches(const std::wstring& pattern, const std::wstring& name);

#endif  // XMLSTAMP_WILDCARDS_WIN32_H_
