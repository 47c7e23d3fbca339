// The stamping pass over files: reading an input, and replacing an output
// only with complete, flushed bytes.
#ifndef XMLSTAMP_FILE_IO_H_
#define XMLSTAMP_FILE_IO_H_

#include <string>
#include <vector>

#include "causes.h"
#include "stamp.h"

// A file that the pass made and could not remove, and the system's error.
struct left_file {
    std::string path;
    int error = 0;
};

// Stamps the file `openname` into `fname`, which may be the same file.
// Returns 0, or kCantOpen, kCantRead, kTooLarge, kCantWrite or kNotFlushed
// with the system's error number in `error`. On any failure the output is as
// it was. Whatever the result, `left` lists the files it could not remove.
int stamp_file(const char* openname, const char* fname, int& error, std::vector<left_file>& left);

// Reads the file `openname` through `scan` to its end, or until `scan` holds
// the body and more than a trailer after it, and ends the scan. Returns 0, or
// kCantOpen or kCantRead with the system's error number in `error`. Where
// `causes` is given and the scan refuses the file, reads it again from its
// start through `causes`, as far as the bytes can tell anything; a file that
// cannot be read again leaves `causes` short, which tells nothing.
int scan_file(const char* openname, body_scan& scan, cause_scan* causes, int& error);

#endif  // XMLSTAMP_FILE_IO_H_
