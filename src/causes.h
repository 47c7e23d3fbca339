// Why a refused file is refused, where a program on its way to a device
// changed bytes that the sum covers: git or a copy converting line ends, an
// editor's byte order mark or final line end, PowerShell's UTF-16, an XML
// formatter, two files joined. One more pass over the file gathers what
// undoing each known change needs; a change is named only when the file,
// undone, is a good stamp. Nothing here touches a file.
#ifndef XMLSTAMP_CAUSES_H_
#define XMLSTAMP_CAUSES_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "stamp.h"

// Windows-1252's characters for the bytes 0x80 to 0x9F; the five bytes it
// leaves undefined come back as the C1 controls of their own value, as
// Windows reads them. Its other bytes are the characters of their value.
constexpr uint16_t kWindows1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The most bytes kept from the marker on: a trailer as a formatter leaves it,
// with line ends after it, is far shorter.
constexpr size_t kKeptTail = 128;

// What one more pass over a refused file gathers from its bytes, fed in order
// in pieces of any size, the first of two bytes at least. A file that begins
// with a UTF-16 byte order mark and holds no marker as bytes is taken as its
// text, decoded; any other as its bytes.
struct cause_scan {
    body_scan verdict;  // the scan of the verdict: the pass must see that file
    body_scan raw;      // the file's bytes
    bool utf16 = false;
    bool big_endian = false;
    // A character that is no byte of Windows-1252, or half a code unit.
    bool undecodable = false;
    int odd_byte = -1;    // a code unit's first byte, whose second begins the next piece
    body_scan decoded;    // the text of a UTF-16 file
    uint64_t offset = 0;  // bytes of the text so far (the file's, when not decoded)
    unsigned char head[3] = {};
    // The line ends before the marker.
    uint64_t lf = 0;
    uint64_t crlf = 0;
    bool after_cr = false;
    // The first kKeptTail bytes from the marker on, and how many there are.
    unsigned char tail[kKeptTail] = {};
    uint64_t tail_size = 0;
    // Where a second stamped file begins, after a first one that is good.
    uint64_t second_start = 0;
    body_scan second;
};

// Takes the next `size` bytes of the file into `scan`, whose `verdict` is
// set. Returns false when no more bytes can tell anything.
bool scan_for_causes(cause_scan& scan, const unsigned char* data, size_t size);

// The file has ended, or was read as far as it could tell anything.
void end_cause_scan(cause_scan& scan);

// A file on its way back to the stamp it was: the sum of its body, and the
// bytes from the marker on.
struct undoing {
    uint32_t sum = 0;
    std::string rest;
    bool rest_whole = true;  // false: more bytes followed than were kept
};

// A change that programs are known to make to a stamped file. `undo` takes
// `file` one step back, or returns false where the file shows no sign of the
// change. Changes of one group never come together; those of group 0 come
// with no other. `words` say what happened and who did it, as a printf format
// whose %llu is the size of a first file.
struct known_change {
    const char* name;
    int group;
    bool (*undo)(const cause_scan& scan, undoing& file);
    const char* words;
};

// The changes that, undone in this order, make the scanned file a good stamp:
// the fewest, and of those the first in the table. `count` is 0 where none do.
struct cause {
    const known_change* changes[2] = {};
    int count = 0;
};
cause find_cause(const cause_scan& scan);

// What to tell about an ended scan: the cause, or why its stamp cannot be
// found as bytes; empty where neither is known.
std::string explain_refusal(const cause_scan& scan);

#endif  // XMLSTAMP_CAUSES_H_
