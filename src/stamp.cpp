#include "stamp.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// Looks for a marker at each of the first `count` offsets of `data`, which
// holds the marker's length less one byte more, and adds the bytes before the
// first one found to `sum`: one pass over the bytes does both. Returns the
// marker's offset, or `count` when none starts there.
size_t sum_to_marker(const unsigned char* data, size_t count, uint32_t& sum)
{
    size_t i = 0;
    uint64_t total = 0;
#if defined(__SSE2__)
    // "<!" opens only comments and declarations in XML, so a '!' rules in the
    // rare offsets worth comparing whole; psadbw adds sixteen bytes into two
    // 64-bit lanes in one instruction. Both are part of every x86-64.
    const __m128i zero = _mm_setzero_si128();
    const __m128i bang = _mm_set1_epi8('!');
    __m128i acc = zero;
    for (; count - i >= 64; i += 64) {
        __m128i block[4];
        uint64_t bangs = 0;  // bit k: a '!' after offset i + k
        for (int k = 0; k < 4; ++k) {
            block[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16 * k));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16 * k + 1));
            bangs |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(next, bang))))
                     << (16 * k);
        }
        for (; bangs != 0; bangs &= bangs - 1) {
            const size_t at = i + static_cast<size_t>(__builtin_ctzll(bangs));
            if (std::memcmp(data + at, kCrcMarker.data(), kCrcMarker.size()) == 0)
                break;
        }
        if (bangs != 0)
            break;  // the loop below sums up to the marker
        acc = _mm_add_epi64(acc,
                            _mm_add_epi64(_mm_add_epi64(_mm_sad_epu8(block[0], zero), _mm_sad_epu8(block[1], zero)),
                                          _mm_add_epi64(_mm_sad_epu8(block[2], zero), _mm_sad_epu8(block[3], zero))));
    }
    total = static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
            static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
#endif
    for (; i < count; ++i) {
        if (data[i] == '<' && std::memcmp(data + i, kCrcMarker.data(), kCrcMarker.size()) == 0)
            break;
        total += data[i];
    }
    sum += static_cast<uint32_t>(total);
    return i;
}

}  // namespace

size_t find_crc_marker(const unsigned char* data, size_t length)
{
    if (length < kCrcMarker.size())
        return length;
    const size_t count = length - kCrcMarker.size() + 1;
    uint32_t ignored = 0;
    const size_t at = sum_to_marker(data, count, ignored);
    return at < count ? at : length;
}

namespace {

// Writes the trailer that carries `crc` at `xml_end`; returns its end.
unsigned char* format_trailer(uint32_t crc, unsigned char* xml_end)
{
    char digits[10];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + crc % 10);
        crc /= 10;
    } while (crc != 0);
    unsigned char* out = std::copy(kTrailerHead.begin(), kTrailerHead.end(), xml_end);
    out = std::reverse_copy(digits, digits + n, out);
    return std::copy(kTrailerTail.begin(), kTrailerTail.end(), out);
}

void add_to_body(body_scan& scan, const unsigned char* data, size_t size)
{
    scan.sum += check_sum32(data, static_cast<int64_t>(size));
    scan.length += size;
}

// Keeps the last bytes of `data`, where a marker may begin that the next piece
// completes; everything before them is body.
void hold_tail(body_scan& scan, const unsigned char* data, size_t size)
{
    const size_t keep = std::min(size, sizeof scan.held);
    add_to_body(scan, data, size - keep);
    std::memcpy(scan.held, data + size - keep, keep);
    scan.held_size = keep;
}

// Keeps what fits of the bytes after the body, which a trailer would be.
void keep_rest(body_scan& scan, const unsigned char* data, size_t size)
{
    const size_t keep = std::min(size, sizeof scan.rest - scan.rest_size);
    std::memcpy(scan.rest + scan.rest_size, data, keep);
    scan.rest_size += keep;
}

// The body ends where the `size` bytes at `marker` begin.
void cut_at(body_scan& scan, const unsigned char* marker, size_t size)
{
    scan.cut = true;
    keep_rest(scan, marker, size);
}

}  // namespace

void scan_content(body_scan& scan, const unsigned char* data, size_t size)
{
    if (scan.cut) {
        keep_rest(scan, data, size);
        return;
    }
    if (size == 0)
        return;
    // A marker that starts in the held bytes ends within the next sixteen.
    unsigned char joint[2 * sizeof scan.held];
    const size_t head = std::min(size, sizeof scan.held);
    std::memcpy(joint, scan.held, scan.held_size);
    std::memcpy(joint + scan.held_size, data, head);
    const size_t joint_size = scan.held_size + head;
    const size_t at = find_crc_marker(joint, joint_size);
    if (at < joint_size) {
        add_to_body(scan, joint, at);
        cut_at(scan, joint + at, joint_size - at);
        keep_rest(scan, data + head, size - head);
        return;
    }
    if (size <= sizeof scan.held) {
        hold_tail(scan, joint, joint_size);
        return;
    }
    // Every marker that starts in the held bytes would have been in `joint`,
    // and one that starts in the last sixteen bytes cannot end here.
    add_to_body(scan, scan.held, scan.held_size);
    const size_t count = size - sizeof scan.held;
    const size_t found = sum_to_marker(data, count, scan.sum);
    scan.length += found;
    if (found < count) {
        cut_at(scan, data + found, size - found);
        return;
    }
    hold_tail(scan, data + count, size - count);
}

void end_scan(body_scan& scan)
{
    if (!scan.cut)
        add_to_body(scan, scan.held, scan.held_size);
    scan.held_size = 0;
}

size_t stamp_tail(body_scan& scan, unsigned char (&tail)[kStampGrowth])
{
    static const unsigned char line_end[] = {'\r', '\n'};
    unsigned char* out = tail;
    if (!scan.cut) {
        out = std::copy(std::begin(line_end), std::end(line_end), out);
        scan.sum += check_sum32(line_end, sizeof line_end);
    }
    return static_cast<size_t>(format_trailer(scan.sum, out) - tail);
}

uint32_t stamp_content(std::vector<unsigned char>& xml_file)
{
    xml_file.reserve(xml_file.size() + kStampGrowth);
    body_scan scan;
    scan_content(scan, xml_file.data(), xml_file.size());
    end_scan(scan);
    unsigned char tail[kStampGrowth];
    const size_t tail_size = stamp_tail(scan, tail);
    xml_file.resize(static_cast<size_t>(scan.length));
    xml_file.insert(xml_file.end(), tail, tail + tail_size);
    return scan.sum;
}

int verify_stamp(const body_scan& scan, uint32_t& stated, uint32_t& actual)
{
    if (!scan.cut)
        return kNotStamped;
    // `rest` holds one byte more than any trailer, so that a longer rest fails.
    const unsigned char* p = scan.rest;
    const unsigned char* const end = scan.rest + scan.rest_size;
    if (static_cast<size_t>(end - p) < kTrailerHead.size() ||
        std::memcmp(p, kTrailerHead.data(), kTrailerHead.size()) != 0)
        return kMalformedTrailer;
    p += kTrailerHead.size();

    // Only what format_trailer writes: 1 to 10 digits, no sign, no leading zero.
    const unsigned char* const digits = p;
    uint64_t value = 0;
    for (; p < end && p - digits < 10 && *p >= '0' && *p <= '9'; ++p)
        value = value * 10 + static_cast<unsigned>(*p - '0');
    const size_t length = static_cast<size_t>(p - digits);
    if (length == 0 || (length > 1 && digits[0] == '0') || value > UINT32_MAX)
        return kMalformedTrailer;
    if (static_cast<size_t>(end - p) != kTrailerTail.size() ||
        std::memcmp(p, kTrailerTail.data(), kTrailerTail.size()) != 0)
        return kMalformedTrailer;

    stated = static_cast<uint32_t>(value);
    actual = scan.sum;
    return stated == actual ? kStampValid : kStampMismatch;
}

int verify_stamp(const unsigned char* data, size_t size, uint32_t& stated, uint32_t& actual)
{
    body_scan scan;
    scan_content(scan, data, size);
    end_scan(scan);
    return verify_stamp(scan, stated, actual);
}
