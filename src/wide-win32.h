// Where the tool's UTF-8 strings become the UTF-16 of the wide Windows API,
// and back. Every call that takes a path is given what system_path makes of
// it, so that any name and any length work on every Windows 10 and 11 without
// a registry switch or a manifest.
#ifndef XMLSTAMP_WIDE_WIN32_H_
#define XMLSTAMP_WIDE_WIN32_H_

#include <cstddef>
#include <string>

std::wstring widen(const std::string& text);
std::string narrow(const wchar_t* text, size_t size);

// `path` as Windows itself resolves it: absolute, with '\' separators and no
// "." or "..". Unchanged when it cannot be resolved.
std::wstring full_path(const std::wstring& path);

// A full path in a form that any length may take: plain while it is well
// within the old limit of MAX_PATH, \\?\ or \\?\UNC\ beyond it.
std::wstring long_form(const std::wstring& full);

// long_form(full_path(...)) of a path of the tool's; a \\?\ path as it is.
std::wstring system_path(const std::string& path);

#endif  // XMLSTAMP_WIDE_WIN32_H_
