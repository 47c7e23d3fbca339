// The stamped format: a body followed by a two-line checksum trailer.
//
//   body  = the bytes before the first "<!--CRC Config-->", or, when there is
//           none, the whole content followed by CR LF
//   trailer = "<!--CRC Config-->\r\n<CRC key='CheckNum' value='SUM'>"
//
// SUM is check_sum32 of the body in unsigned decimal. Nothing here touches a
// file, so every byte of the format can be tested from memory.
#ifndef XMLSTAMP_STAMP_H_
#define XMLSTAMP_STAMP_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// The trailer up to its value, and what follows the value. It opens with the
// marker; everything from the marker's first occurrence on is an old trailer.
constexpr std::string_view kTrailerHead = "<!--CRC Config-->\r\n<CRC key='CheckNum' value='";
constexpr std::string_view kTrailerTail = "'>";
constexpr std::string_view kCrcMarker = kTrailerHead.substr(0, kTrailerHead.find('\r'));

// The longest trailer, with ten digits, and the most bytes stamping puts
// after a body: CR LF and that trailer.
constexpr size_t kLongestTrailer = 48 + 10;
constexpr size_t kStampGrowth = 2 + kLongestTrailer;

// The sum of the `length` bytes at `data`, each taken as 0..255, modulo 2^32.
// A `length` of 0 or less gives 0.
uint32_t check_sum32(const unsigned char* data, int64_t length);

// The offset of the first marker in the `length` bytes at `data`, or `length`
// when there is none. Zero bytes are ordinary bytes here.
size_t find_crc_marker(const unsigned char* data, size_t length);

// The body of content that arrives in pieces of any size, in order: a file
// too large to look at in one piece is scanned window by window, and the
// result is the same as for the whole.
struct body_scan {
    uint64_t length = 0;  // bytes known to be body, all of them in `sum`
    uint32_t sum = 0;
    bool cut = false;  // a marker ends the body at `length`; later pieces only fill `rest`
    // The last bytes seen, not yet known to be body: a marker may start there.
    unsigned char held[16] = {};
    size_t held_size = 0;
    // The first bytes from the marker on: one more than the longest trailer
    // tells whether they are exactly a trailer.
    unsigned char rest[kLongestTrailer + 1] = {};
    size_t rest_size = 0;
};

// Takes the next `size` bytes of content into `scan`.
void scan_content(body_scan& scan, const unsigned char* data, size_t size);

// The content has ended: without a marker, everything seen is body. The body
// then still lacks the CR LF that stamping adds.
void end_scan(body_scan& scan);

// What stamping puts right after the `scan.length` bytes kept of an ended
// scan: CR LF where no marker cut the content, then the trailer. Writes it
// into `tail` and returns its length; `scan.sum` becomes the checksum.
size_t stamp_tail(body_scan& scan, unsigned char (&tail)[kStampGrowth]);

// Turns content into stamped bytes in place and returns the checksum: cuts the
// content at its first marker, or ends it with CR LF, then appends the trailer.
// Stamping the result again leaves it unchanged. Grows `xml_file` by at most
// kStampGrowth bytes, so a caller that reserved them avoids a reallocation.
uint32_t stamp_content(std::vector<unsigned char>& xml_file);

// What verify_stamp finds in a file.
enum {
    kStampValid,        // a body and exactly the trailer that stamping it appends
    kStampMismatch,     // a well-formed trailer whose value is not the body's sum
    kNotStamped,        // no marker at all
    kMalformedTrailer,  // a marker, but not followed by exactly one trailer
};

// Checks the content of an ended scan against the stamped format. For
// kStampValid and kStampMismatch, `stated` is the trailer's value and `actual`
// the body's sum; otherwise both are left alone.
int verify_stamp(const body_scan& scan, uint32_t& stated, uint32_t& actual);

// The same for the `size` bytes at `data`.
int verify_stamp(const unsigned char* data, size_t size, uint32_t& stated, uint32_t& actual);

#endif  // XMLSTAMP_STAMP_H_
