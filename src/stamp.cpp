#include "stamp.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const char kCrcMarker[] = "<!--CRC Config-->";

uint32_t check_sum32(const unsigned char* data, int64_t length)
{
    if (length <= 0)
        return 0;
    const size_t n = static_cast<size_t>(length);
    size_t i = 0;
    // A 64-bit total cannot wrap for any buffer that fits in memory, and its
    // low 32 bits are the sum modulo 2^32.
    uint64_t sum = 0;
#if defined(__SSE2__)
    // psadbw adds sixteen bytes into two 64-bit lanes in one instruction; it is
    // part of every x86-64, so no run-time check is needed.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = zero;
    for (; n - i >= 16; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(bytes, zero));
    }
    sum = static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
          static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
#endif
    for (; i < n; ++i)
        sum += data[i];
    return static_cast<uint32_t>(sum);
}

size_t find_crc_marker(const unsigned char* data, size_t length)
{
    const auto* marker = reinterpret_cast<const unsigned char*>(kCrcMarker);
    const std::boyer_moore_horspool_searcher searcher(marker, marker + kCrcMarkerLength);
    return static_cast<size_t>(std::search(data, data + length, searcher) - data);
}

std::string format_trailer(uint32_t crc)
{
    char xml_end[64];
    const int n =
        std::snprintf(xml_end, sizeof xml_end, "%s\r\n<CRC key='CheckNum' value='%" PRIu32 "'>", kCrcMarker, crc);
    return std::string(xml_end, static_cast<size_t>(n));
}

uint32_t stamp_content(std::vector<unsigned char>& xml_file)
{
    xml_file.reserve(xml_file.size() + kStampGrowth);
    const size_t pCrc = find_crc_marker(xml_file.data(), xml_file.size());
    if (pCrc < xml_file.size()) {
        xml_file.resize(pCrc);
    } else {
        xml_file.push_back('\r');
        xml_file.push_back('\n');
    }
    const uint32_t crc = check_sum32(xml_file.data(), static_cast<int64_t>(xml_file.size()));
    const std::string xml_end = format_trailer(crc);
    xml_file.insert(xml_file.end(), xml_end.begin(), xml_end.end());
    return crc;
}
