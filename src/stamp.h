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
#include <string>
#include <vector>

// The most bytes stamp_content appends: CR LF plus a trailer with ten digits.
constexpr size_t kStampGrowth = 2 + 48 + 10;

// The sum of the `length` bytes at `data`, each taken as 0..255, modulo 2^32.
// A `length` of 0 or less gives 0.
uint32_t check_sum32(const unsigned char* data, int64_t length);

// The offset of the first marker in the `length` bytes at `data`, or `length`
// when there is none. Zero bytes are ordinary bytes here.
size_t find_crc_marker(const unsigned char* data, size_t length);

// The trailer that carries `crc`.
std::string format_trailer(uint32_t crc);

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

// Checks the `size` bytes at `data` against the stamped format. For
// kStampValid and kStampMismatch, `stated` is the trailer's value and `actual`
// the body's sum; otherwise both are left alone.
int verify_stamp(const unsigned char* data, size_t size, uint32_t& stated, uint32_t& actual);

#endif  // XMLSTAMP_STAMP_H_
