#include "causes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr unsigned char kUtf8Bom[] = {0xEF, 0xBB, 0xBF};

const body_scan& text_of(const cause_scan& scan)
{
    return scan.utf16 ? scan.decoded : scan.raw;
}

// A scan that ended with `size` bytes from the marker on, after a body that
// sums to `sum`: what verify_stamp judges.
body_scan ended_scan(uint32_t sum, const unsigned char* rest, size_t size)
{
    body_scan scan;
    scan.cut = true;
    scan.sum = sum;
    scan.rest_size = std::min(size, sizeof scan.rest);
    std::memcpy(scan.rest, rest, scan.rest_size);
    return scan;
}

bool is_good_stamp(const body_scan& scan)
{
    uint32_t stated = 0;
    uint32_t actual = 0;
    return verify_stamp(scan, stated, actual) == kStampValid;
}

// Counts the LFs, and the CR LF pairs, of the next `size` bytes of the body.
void count_line_ends(cause_scan& scan, const unsigned char* data, size_t size)
{
    if (size == 0)
        return;
    scan.lf += data[0] == '\n';
    scan.crlf += scan.after_cr && data[0] == '\n';
    size_t i = 0;
    // A block of 255 counts into bytes, which the compiler adds up sixteen at a time.
    for (; size - 1 - i >= 255; i += 255) {
        uint8_t lf = 0;
        uint8_t crlf = 0;
        for (size_t k = i; k < i + 255; ++k) {
            lf += data[k + 1] == '\n';
            crlf += (data[k] == '\r') & (data[k + 1] == '\n');
        }
        scan.lf += lf;
        scan.crlf += crlf;
    }
    for (; i + 1 < size; ++i) {
        scan.lf += data[i + 1] == '\n';
        scan.crlf += (data[i] == '\r') & (data[i + 1] == '\n');
    }
    scan.after_cr = data[size - 1] == '\r';
}

void keep_tail(cause_scan& scan, const unsigned char* data, size_t size)
{
    if (scan.tail_size < kKeptTail)
        std::memcpy(scan.tail + scan.tail_size, data, std::min<uint64_t>(size, kKeptTail - scan.tail_size));
    scan.tail_size += size;
}

// Where the first file ends, when the bytes kept from the marker on begin
// with a trailer that makes it a good stamp; 0 while they do not.
uint64_t first_file_end(const cause_scan& scan)
{
    const body_scan& text = text_of(scan);
    const size_t kept = static_cast<size_t>(std::min<uint64_t>(scan.tail_size, kKeptTail));
    for (size_t size = kTrailerHead.size() + 1 + kTrailerTail.size(); size <= kLongestTrailer && size <= kept; ++size)
        if (is_good_stamp(ended_scan(text.sum, scan.tail, size)))
            return text.length + size;
    return 0;
}

// Takes the next `size` bytes of the text, whose scan has taken them: its
// first bytes, the line ends of its body, the bytes from its marker on, and
// those of a second file after the first.
void take_text(cause_scan& scan, const unsigned char* data, size_t size)
{
    const body_scan& text = text_of(scan);
    const uint64_t at = scan.offset;
    scan.offset += size;
    for (uint64_t i = at; i < sizeof scan.head && i - at < size; ++i)
        scan.head[i] = data[i - at];
    // The marker's end is in these bytes, or was in earlier ones.
    const size_t before_marker = !text.cut ? size : text.length > at ? static_cast<size_t>(text.length - at) : 0;
    count_line_ends(scan, data, before_marker);
    if (!text.cut)
        return;
    if (scan.tail_size == 0) {
        // The marker may have begun in bytes the last piece ended with, which
        // its scan holds from the marker on.
        keep_tail(scan, text.rest, at > text.length ? static_cast<size_t>(at - text.length) : 0);
    }
    keep_tail(scan, data + before_marker, size - before_marker);
    if (scan.second_start == 0)
        scan.second_start = first_file_end(scan);
    if (scan.second_start != 0 && scan.second_start < at + size) {
        const size_t skip = scan.second_start > at ? static_cast<size_t>(scan.second_start - at) : 0;
        scan_content(scan.second, data + skip, size - skip);
    }
}

// The byte that Windows-1252 gives the character `unit`, the way back from
// Windows PowerShell 5.1 reading a file without a byte order mark.
unsigned char windows_1252_byte(cause_scan& scan, unsigned unit)
{
    if (unit < 0x80 || (unit >= 0xA0 && unit < 0x100))
        return static_cast<unsigned char>(unit);
    const uint16_t* const found = std::find(std::begin(kWindows1252), std::end(kWindows1252), unit);
    if (found != std::end(kWindows1252))
        return static_cast<unsigned char>(0x80 + (found - kWindows1252));
    scan.undecodable = true;
    return '?';
}

// Whether the 32 code units at `block` are ASCII, as most of an XML file is;
// copies them to `text` if so. `high_bits` has, in the bytes of a code unit,
// the bits that ASCII leaves clear. The loops become a few vector
// instructions.
bool copy_ascii(const unsigned char* block, uint64_t high_bits, size_t low, unsigned char* text)
{
    uint64_t all = 0;
    for (size_t k = 0; k < 64; k += 8) {
        uint64_t word;
        std::memcpy(&word, block + k, sizeof word);
        all |= word;
    }
    if ((all & high_bits) != 0)
        return false;
    for (size_t k = 0; k < 32; ++k)
        text[k] = block[2 * k + low];
    return true;
}

// Decodes `units` code units at `data` into `text`.
void decode_units(cause_scan& scan, const unsigned char* data, size_t units, unsigned char* text)
{
    const size_t high = scan.big_endian ? 0 : 1;
    const size_t low = 1 - high;
    unsigned char unit_bits[8];
    for (size_t k = 0; k < sizeof unit_bits; ++k)
        unit_bits[k] = k % 2 == high ? 0xFF : 0x80;
    uint64_t high_bits;
    std::memcpy(&high_bits, unit_bits, sizeof high_bits);
    for (size_t i = 0; i < units; i += 32)
        if (units - i < 32 || !copy_ascii(data + 2 * i, high_bits, low, text + i))
            for (size_t k = i; k < std::min(units, i + 32); ++k)
                text[k] = windows_1252_byte(scan, unsigned{data[2 * k + high]} << 8 | data[2 * k + low]);
}

// Decodes the next `size` bytes of a UTF-16 file, a piece at a time, into
// its text.
void take_utf16(cause_scan& scan, const unsigned char* data, size_t size)
{
    unsigned char text[4096];
    if (scan.odd_byte >= 0 && size > 0) {
        const unsigned char unit[2] = {static_cast<unsigned char>(scan.odd_byte), data[0]};
        decode_units(scan, unit, 1, text);
        scan_content(scan.decoded, text, 1);
        take_text(scan, text, 1);
        scan.odd_byte = -1;
        ++data;
        --size;
    }
    while (size >= 2) {
        const size_t units = std::min(size / 2, sizeof text);
        decode_units(scan, data, units, text);
        scan_content(scan.decoded, text, units);
        take_text(scan, text, units);
        data += 2 * units;
        size -= 2 * units;
    }
    if (size == 1)
        scan.odd_byte = data[0];
}

bool undo_utf16(const cause_scan& scan, undoing&)
{
    return scan.utf16 && !scan.undecodable;
}

bool undo_byte_order_mark(const cause_scan& scan, undoing& file)
{
    if (scan.offset < sizeof kUtf8Bom || std::memcmp(scan.head, kUtf8Bom, sizeof kUtf8Bom) != 0)
        return false;
    for (const unsigned char byte : kUtf8Bom)
        file.sum -= byte;
    return true;
}

void replace_all(std::string& text, std::string_view from, std::string_view to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Every LF back to CR LF: a CR more for each LF of the body.
bool undo_lf_line_ends(const cause_scan& scan, undoing& file)
{
    file.sum += static_cast<uint32_t>(scan.lf * '\r');
    replace_all(file.rest, "\n", "\r\n");
    return true;
}

// Every CR LF back to LF: a CR less for each CR LF of the body.
bool undo_cr_cr_lf_line_ends(const cause_scan& scan, undoing& file)
{
    file.sum -= static_cast<uint32_t>(scan.crlf * '\r');
    replace_all(file.rest, "\r\n", "\n");
    return true;
}

bool undo_final_line_end(const cause_scan&, undoing& file)
{
    std::string& rest = file.rest;
    if (!file.rest_whole || rest.empty() || rest.back() != '\n')
        return false;
    rest.pop_back();
    if (!rest.empty() && rest.back() == '\r')
        rest.pop_back();
    return true;
}

// The trailer's element as xmlstamp writes it, from one with double quotes on
// either attribute, or closed: "/>", " />" or "></CRC>".
bool undo_formatting(const cause_scan&, undoing& file)
{
    const size_t element = kCrcMarker.size() + 2;  // after the marker's line end
    const std::string_view written = std::string_view(file.rest).substr(std::min(element, file.rest.size()));
    size_t at = 0;
    // The value of the attribute `name` at `at`, in either kind of quotes.
    const auto quoted = [&](std::string_view name, std::string_view& value) {
        if (written.substr(at, name.size()) != name || at + name.size() >= written.size())
            return false;
        at += name.size();
        const char quote = written[at++];
        const size_t end = written.find(quote, at);
        if ((quote != '\'' && quote != '"') || end == std::string_view::npos)
            return false;
        value = written.substr(at, end - at);
        at = end + 1;
        return true;
    };
    std::string_view key;
    std::string_view value;
    if (!quoted("<CRC key=", key) || key != "CheckNum" || !quoted(" value=", value))
        return false;
    const std::string_view end = written.substr(at);
    if (end != ">" && end != "/>" && end != " />" && end != "></CRC>")
        return false;
    const std::string_view head = kTrailerHead.substr(element);
    const std::string as_written = std::string(head) + std::string(value) + std::string(kTrailerTail);
    if (as_written == written)
        return false;
    file.rest.replace(element, std::string::npos, as_written);
    return true;
}

// The first of two stamped files, where the second is one too.
bool undo_joining(const cause_scan& scan, undoing& file)
{
    if (scan.second_start == 0 || !is_good_stamp(scan.second))
        return false;
    file.rest.resize(static_cast<size_t>(scan.second_start - text_of(scan).length));
    file.rest_whole = true;
    return true;
}

// The known changes, in the order they are undone.
const known_change kKnownChanges[] = {
    {"UTF-16", 1, undo_utf16,
     "it is UTF-16 text, not the bytes that were stamped: Windows PowerShell's > or Out-File wrote it"},
    {"byte order mark", 1, undo_byte_order_mark,
     "it begins with a UTF-8 byte order mark that the sum does not cover: an editor saved it with one"},
    {"LF line ends", 2, undo_lf_line_ends,
     "its line ends are LF, not CR LF: git's core.autocrlf or a text-mode copy converted them"},
    {"CR CR LF line ends", 2, undo_cr_cr_lf_line_ends,
     "its line ends are CR CR LF, not CR LF: a text-mode copy added a CR to each"},
    {"final line end", 3, undo_final_line_end, "a line end follows the trailer: an editor or PowerShell added it"},
    {"formatted trailer", 4, undo_formatting,
     "its trailer is not as xmlstamp writes it: an XML formatter closed the element or changed its quotes"},
    {"joined files", 0, undo_joining,
     "it is two stamped files one after the other, the first %llu bytes long: a copy or a script joined them"},
};

// Why a UTF-16 file that holds a marker is "not stamped", where no change
// explains it.
const char kUndecodedStamp[] =
    "it is UTF-16 text, in which no marker can be found as bytes; decoded, its stamp is not right either";

// Whether undoing `first`, then `second` where there is one, makes the file a
// good stamp. The text of a UTF-16 file was stamped only as bytes.
bool explains(const cause_scan& scan, const known_change* first, const known_change* second)
{
    if (scan.utf16 && first->undo != undo_utf16)
        return false;
    const body_scan& text = text_of(scan);
    undoing file;
    file.sum = text.sum;
    file.rest.assign(scan.tail, scan.tail + std::min<uint64_t>(scan.tail_size, kKeptTail));
    file.rest_whole = scan.tail_size <= kKeptTail;
    if (!first->undo(scan, file) || (second != nullptr && !second->undo(scan, file)) || !file.rest_whole)
        return false;
    return is_good_stamp(
        ended_scan(file.sum, reinterpret_cast<const unsigned char*>(file.rest.data()), file.rest.size()));
}

// Whether the pass saw the file of the verdict: not one that changed since,
// nor the rest of a pipe.
bool saw_the_same_file(const cause_scan& scan)
{
    const body_scan& a = scan.raw;
    const body_scan& b = scan.verdict;
    return a.cut == b.cut && a.length == b.length && a.sum == b.sum && a.rest_size == b.rest_size &&
           std::memcmp(a.rest, b.rest, a.rest_size) == 0;
}

}  // namespace

bool scan_for_causes(cause_scan& scan, const unsigned char* data, size_t size)
{
    const bool at_start = scan.raw.length + scan.raw.held_size == 0 && !scan.raw.cut;
    if (at_start && !scan.verdict.cut && size >= 2 &&
        ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
        scan.utf16 = true;
        scan.big_endian = data[0] == 0xFE;
    }
    if (!scan.utf16) {
        scan_content(scan.raw, data, size);
        take_text(scan, data, size);
        // Without a marker only decoding can find one.
        return scan.verdict.cut;
    }
    // Without a marker the whole file is body, as its verdict saw it.
    scan.raw.length += size;
    scan.raw.sum += check_sum32(data, static_cast<int64_t>(size));
    const size_t skip = at_start ? 2 : 0;
    take_utf16(scan, data + skip, size - skip);
    return true;
}

void end_cause_scan(cause_scan& scan)
{
    end_scan(scan.raw);
    if (scan.utf16) {
        end_scan(scan.decoded);
        scan.undecodable |= scan.odd_byte >= 0;
    }
    end_scan(scan.second);
}

cause find_cause(const cause_scan& scan)
{
    cause found;
    if (!saw_the_same_file(scan) || !text_of(scan).cut)
        return found;
    for (const known_change& change : kKnownChanges)
        if (explains(scan, &change, nullptr))
            return {{&change, nullptr}, 1};
    for (const known_change& first : kKnownChanges)
        for (const known_change* second = &first + 1; second != std::end(kKnownChanges); ++second)
            if (first.group != 0 && second->group != 0 && first.group != second->group &&
                explains(scan, &first, second))
                return {{&first, second}, 2};
    return found;
}

std::string explain_refusal(const cause_scan& scan)
{
    const cause found = find_cause(scan);
    if (found.count == 0)
        return scan.utf16 && saw_the_same_file(scan) && scan.decoded.cut ? kUndecodedStamp : "";
    std::string words;
    for (int i = 0; i < found.count; ++i) {
        char clause[256];
        std::snprintf(clause, sizeof clause, found.changes[i]->words,
                      static_cast<unsigned long long>(scan.second_start));
        words += (i == 0 ? "" : "; ") + std::string(clause);
    }
    return words;
}
