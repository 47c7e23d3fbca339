// Reading an input whole and replacing an output only once it is complete.
#ifndef XMLSTAMP_FILE_IO_H_
#define XMLSTAMP_FILE_IO_H_

#include <cstddef>
#include <vector>

// Reads the file `openname` into `xml_file`, with room reserved for the
// trailer. Returns 0, kCantOpen, kCantRead or kTooLarge; after the first two
// errno tells why.
int read_whole_file(const char* openname, std::vector<unsigned char>& xml_file);

// Makes `fname` hold exactly the `size` bytes at `data`, or leaves it as it
// was. A regular file (or one a link points to) is replaced by a complete
// temporary file beside it, which keeps its permission bits; a device or a
// pipe is written in place. Returns 0 or kCantWrite.
int write_output_file(const char* fname, const unsigned char* data, size_t size);

#endif  // XMLSTAMP_FILE_IO_H_
