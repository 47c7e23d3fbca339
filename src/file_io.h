// The stamping pass over files: reading an input, and replacing an output
// only with complete, flushed bytes.
#ifndef XMLSTAMP_FILE_IO_H_
#define XMLSTAMP_FILE_IO_H_

#include "causes.h"
#include "stamp.h"

// Stamps the file `openname` into `fname`, which may be the same file.
// Returns 0, or kCantOpen, kCantRead, kTooLarge or kCantWrite with the
// system's error number in `error`. On any failure the output is as it was.
int stamp_file(const char* openname, const char* fname, int& error);

// Reads the file `openname` through `scan` to its end, or until `scan` holds
// the body and more than a trailer after it, and ends the scan. Returns 0, or
// kCantOpen or kCantRead with the system's error number in `error`. Where
// `causes` is given and the scan refuses the file, reads it again from its
// start through `causes`, as far as the bytes can tell anything; a file that
// cannot be read again leaves `causes` short, which tells nothing.
int scan_file(const char* openname, body_scan& scan, cause_scan* causes, int& error);

#endif  // XMLSTAMP_FILE_IO_H_
