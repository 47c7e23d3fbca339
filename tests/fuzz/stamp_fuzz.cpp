// Feeds arbitrary content to stamp_content and checks the stamped format on
// every input: the body is the content before its first marker (or all of it
// and CR LF), exactly one trailer follows with the body's sum, and stamping
// again changes nothing. verify_stamp accepts exactly the files that stamping
// leaves as they are, and scanning the content in pieces finds the same body
// and verdict.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "stamp.h"

static void require(bool ok)
{
    if (!ok)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string marker = "<!--CRC Config-->";
    const std::string content(reinterpret_cast<const char*>(data), size);
    const size_t first = content.find(marker);
    const std::string body = first == std::string::npos ? content + "\r\n" : content.substr(0, first);
    uint32_t sum = 0;
    for (const char c : body)
        sum += static_cast<unsigned char>(c);
    const std::string expected = body + marker + "\r\n<CRC key='CheckNum' value='" + std::to_string(sum) + "'>";

    std::vector<unsigned char> xml_file(data, data + size);
    require(stamp_content(xml_file) == sum);
    require(std::string(xml_file.begin(), xml_file.end()) == expected);
    require(find_crc_marker(xml_file.data(), xml_file.size()) == body.size());

    // The same body, whatever pieces the content arrives in.
    body_scan scan;
    for (size_t offset = 0, piece = size % 23 + 1; offset < size; offset += piece, piece = piece * 7 % 41 + 1)
        scan_content(scan, data + offset, std::min(piece, size - offset));
    end_scan(scan);
    require(scan.length == (first == std::string::npos ? size : first));
    require(scan.sum + (scan.cut ? 0 : 23u) == sum);

    std::vector<unsigned char> again = xml_file;
    require(stamp_content(again) == sum);
    require(again == xml_file);

    uint32_t stated = 0;
    uint32_t actual = 0;
    require(verify_stamp(xml_file.data(), xml_file.size(), stated, actual) == kStampValid);
    require(stated == sum && actual == sum);
    const bool unchanged = std::string(xml_file.begin(), xml_file.end()) == content;
    require((verify_stamp(data, size, stated, actual) == kStampValid) == unchanged);
    // The same verdict from the pieces.
    uint32_t piece_stated = stated;
    uint32_t piece_actual = actual;
    require(verify_stamp(scan, piece_stated, piece_actual) == verify_stamp(data, size, stated, actual));
    require(piece_stated == stated && piece_actual == actual);
    return 0;
}
