#include "causes.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using change = std::function<std::string(std::string)>;

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Windows PowerShell 5.1's UTF-16 of the bytes, read as Windows-1252 (only
// 0x80 of its bytes beyond ASCII here), after its byte order mark.
std::string utf16(const std::string& bytes, bool big_endian)
{
    std::string text = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char byte : bytes) {
        const unsigned unit = byte == '\x80' ? 0x20AC : static_cast<unsigned char>(byte);
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        text += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return text;
}

// The changes that find_cause names for `file`, read first as verifying
// reads it and then again in pieces of `piece` bytes, or "" for none.
std::string causes_in_pieces(const std::string& file, size_t piece)
{
    const auto* data = reinterpret_cast<const unsigned char*>(file.data());
    cause_scan scan;
    scan_content(scan.verdict, data, file.size());
    end_scan(scan.verdict);
    for (size_t at = 0; at < file.size(); at += piece)
        if (!scan_for_causes(scan, data + at, std::min(piece, file.size() - at)))
            break;
    end_cause_scan(scan);
    const cause found = find_cause(scan);
    std::string names;
    for (int i = 0; i < found.count; ++i)
        names += (i == 0 ? "" : " + ") + std::string(found.changes[i]->name);
    return names;
}

TEST(FindCause, EachKnownChangeUndoneWhereverTheFileIsCut)
{
    const auto lf = [](std::string f) { return replaced(f, "\r\n", "\n"); };
    const auto cr_cr_lf = [](std::string f) { return replaced(f, "\r\n", "\r\r\n"); };
    const auto quotes = [](std::string f) {
        return f.substr(0, f.find("<CRC")) + replaced(f.substr(f.find("<CRC")), "'", "\"");
    };
    const struct {
        change make;
        std::string causes;
    } rows[] = {
        {lf, "LF line ends"},
        {[&](std::string f) { return lf(f) + "\n"; }, "LF line ends + final line end"},
        {cr_cr_lf, "CR CR LF line ends"},
        {[&](std::string f) { return cr_cr_lf(f + "\r\n"); }, "CR CR LF line ends + final line end"},
        {[](std::string f) { return f + "\n"; }, "final line end"},
        {[](std::string f) { return f + "\r\n"; }, "final line end"},
        {[](std::string f) { return "\xEF\xBB\xBF" + f; }, "byte order mark"},
        {[&](std::string f) { return "\xEF\xBB\xBF" + lf(f); }, "byte order mark + LF line ends"},
        {[](std::string f) { return utf16(f + "\r\n", false); }, "UTF-16 + final line end"},
        {[](std::string f) { return utf16(f, true); }, "UTF-16"},
        {[](std::string f) { return f.substr(0, f.size() - 1) + "/>"; }, "formatted trailer"},
        {[](std::string f) { return f + "</CRC>"; }, "formatted trailer"},
        {[](std::string f) { return f.substr(0, f.size() - 1) + " />"; }, "formatted trailer"},
        {quotes, "formatted trailer"},
        {[&](std::string f) { return quotes(f) + "\r\n"; }, "final line end + formatted trailer"},
        {[](std::string f) { return f + f; }, "joined files"},
        // Real edits, alone and beside a known change; UTF-16 with a character
        // that is no byte of Windows-1252; UTF-16 that never held a stamp.
        {[](std::string f) { return replaced(f, "x='1'", "x='2'"); }, ""},
        {[](std::string f) { return replaced(f, "value='", "value='1"); }, ""},
        {[&](std::string f) { return lf(replaced(f, "x='1'", "x='2'")); }, ""},
        {[](std::string f) { return f + "\n\n"; }, ""},
        {[](std::string f) { return replaced(utf16(f, false), "\xAC\x20", "\x16\x04"); }, ""},
        {[](std::string f) { return utf16(f.substr(0, f.find("<!--")), false); }, ""},
        {[](std::string f) { return utf16(f, false) + "\n"; }, ""},
    };
    // A small file read in pieces of every size, and one whose trailer is
    // at the edge of the 256 KiB pieces that files are read in.
    std::string body = "<a x='1'>\x80</a>\r\n";
    while (body.size() < (1u << 18) - 30)
        body += "<item/>\r\n";
    for (const std::string& content : {body.substr(0, 16), body}) {
        std::vector<unsigned char> stamped(content.begin(), content.end());
        stamp_content(stamped);
        for (const auto& row : rows) {
            const std::string file = row.make(std::string(stamped.begin(), stamped.end()));
            std::vector<size_t> pieces = {1 << 18};
            for (size_t tail = 2; tail < 140 && tail < file.size(); ++tail)
                pieces.push_back(content.size() < 100 ? tail : file.size() - tail);
            for (const size_t piece : pieces)
                ASSERT_EQ(causes_in_pieces(file, piece), row.causes)
                    << row.causes << ", " << file.size() << " bytes in pieces of " << piece;
        }
    }
}

}  // namespace
