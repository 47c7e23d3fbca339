// The stamping pass over files: reading an input, and replacing an output
// only with complete, flushed bytes.
#ifndef XMLSTAMP_FILE_IO_H_
#define XMLSTAMP_FILE_IO_H_

#include <vector>

// Stamps the file `openname` into `fname`, which may be the same file.
// Returns 0, or kCantOpen, kCantRead, kTooLarge or kCantWrite with the
// system's error number in `error`. On any failure the output is as it was.
int stamp_file(const char* openname, const char* fname, int& error);

// Reads the file `openname` whole into `content`. Returns 0, or kCantOpen,
// kCantRead or kTooLarge with the system's error number in `error`.
int read_whole_file(const char* openname, std::vector<unsigned char>& content, int& error);

#endif  // XMLSTAMP_FILE_IO_H_
