#include "stamp.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> bytes(const std::string& s)
{
    return std::vector<unsigned char>(s.begin(), s.end());
}

std::string stamped(const std::string& content)
{
    std::vector<unsigned char> xml_file = bytes(content);
    stamp_content(xml_file);
    return std::string(xml_file.begin(), xml_file.end());
}

// The obvious byte loop, to hold the fast one against.
uint32_t reference_sum(const unsigned char* data, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

const std::string kHead = "<!--CRC Config-->\r\n<CRC key='CheckNum' value='";

// Scans `data` as a file is read: in pieces of `piece` bytes, the last one shorter.
body_scan scan_in_pieces(const std::vector<unsigned char>& data, size_t piece)
{
    body_scan scan;
    for (size_t offset = 0; offset < data.size(); offset += piece)
        scan_content(scan, data.data() + offset, std::min(piece, data.size() - offset));
    end_scan(scan);
    return scan;
}

TEST(StampContent, WorkedExamples)
{
    using namespace std::string_literals;
    const struct {
        std::string content;
        std::string expected;
    } cases[] = {
        {"abc", "abc\r\n" + kHead + "317'>"},
        {"abc\r\n" + kHead + "317'>", "abc\r\n" + kHead + "317'>"},
        {"abc\r\n", "abc\r\n\r\n" + kHead + "340'>"},
        {"", "\r\n" + kHead + "23'>"},
        {"x<!--CRC Config-->junk", "x" + kHead + "120'>"},
        {"<!--CRC Config-->", kHead + "0'>"},
        {"a<!--CRC Config-->b<!--CRC Config-->c", "a" + kHead + "97'>"},
        {"a<!--CRC Config", "a<!--CRC Config\r\n" + kHead + "1149'>"},
        {"\x80\xff"s, "\x80\xff\r\n"s + kHead + "406'>"},
        {"a\0b"s, "a\0b\r\n"s + kHead + "218'>"},
        {"a\0<!--CRC Config-->\0tail"s, "a\0"s + kHead + "97'>"},
        {"\0\0\0"s, "\0\0\0\r\n"s + kHead + "23'>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stamped(c.content), c.expected) << "content: " << c.content;
}

TEST(StampContent, SizesAroundReadAndBufferBoundaries)
{
    for (size_t n : {1023u, 1024u, 1025u, 4095u, 4096u, 4097u, 100000u}) {
        std::vector<unsigned char> content(n);
        for (size_t i = 0; i < n; ++i)
            content[i] = static_cast<unsigned char>('A' + i % 26);
        std::vector<unsigned char> xml_file = content;
        const uint32_t crc = stamp_content(xml_file);

        content.push_back('\r');
        content.push_back('\n');
        const uint32_t expected = reference_sum(content.data(), content.size());
        EXPECT_EQ(crc, expected) << n;
        const std::string trailer = kHead + std::to_string(expected) + "'>";
        ASSERT_EQ(xml_file.size(), content.size() + trailer.size()) << n;
        EXPECT_TRUE(std::equal(content.begin(), content.end(), xml_file.begin())) << n;
        EXPECT_EQ(std::string(xml_file.begin() + static_cast<long>(content.size()), xml_file.end()), trailer) << n;
    }
}

TEST(StampContent, LargeSumsPrintUnsigned)
{
    // 8,421,505 bytes of 0xFF and CR LF sum to 2,147,483,798: above 2^31.
    std::vector<unsigned char> xml_file(8421505, 0xFF);
    EXPECT_EQ(stamp_content(xml_file), 2147483798u);
    const std::string tail(xml_file.end() - 14, xml_file.end());
    EXPECT_EQ(tail, "='2147483798'>");

    // One more 0xFF wraps the sum past 2^32.
    std::vector<unsigned char> wrapped(16843009, 0xFF);
    EXPECT_EQ(stamp_content(wrapped), 22u);
}

TEST(VerifyStamp, VerdictsWhateverPiecesTheFileIsReadIn)
{
    const std::string good = "abc\r\n" + kHead + "317'>";
    // Long enough to be searched and summed in blocks, with near misses.
    std::string body;
    while (body.size() < 200)
        body += "<!-- a --><!--CRC Confi";
    const uint32_t sum = reference_sum(bytes(body).data(), body.size());
    const std::string long_good = body + kHead + std::to_string(sum) + "'>";
    const struct {
        std::string file;
        int verdict;
        uint32_t stated;
        uint32_t actual;
    } cases[] = {
        {good, kStampValid, 317, 317},
        {kHead + "0'>", kStampValid, 0, 0},
        {"abd\r\n" + kHead + "317'>", kStampMismatch, 317, 318},
        {"abc\r\n" + kHead + "318'>", kStampMismatch, 318, 317},
        {"abc\r\n" + kHead + "4294967295'>", kStampMismatch, 4294967295u, 317},
        {"abc\r\n", kNotStamped, 1, 1},
        {"", kNotStamped, 1, 1},
        {"abc\r\n<!--CRC Config", kNotStamped, 1, 1},
        {good + "\r\n", kMalformedTrailer, 1, 1},
        {good + good, kMalformedTrailer, 1, 1},
        {"abc\r\n<!--CRC Config-->" + good, kMalformedTrailer, 1, 1},
        {"abc\r\n" + kHead + "317", kMalformedTrailer, 1, 1},
        {"abc\r\n" + kHead + "317'/>", kMalformedTrailer, 1, 1},
        {"abc\r\n" + kHead + "+317'>", kMalformedTrailer, 1, 1},
        {"abc\r\n" + kHead + "-1'>", kMalformedTrailer, 1, 1},
        {"abc\r\n" + kHead + "0317'>", kMalformedTrailer, 1, 1},
        {"abc\r\n" + kHead + "'>", kMalformedTrailer, 1, 1},
        {"abc\r\n" + kHead + "4294967296'>", kMalformedTrailer, 1, 1},
        {"abc\r\n" + kHead + "31700000000'>", kMalformedTrailer, 1, 1},
        {"abc\r\n<!--CRC Config-->\n<CRC key='CheckNum' value='317'>", kMalformedTrailer, 1, 1},
        {"abc\r\n<!--CRC Config-->\r\n<CRC key=\"CheckNum\" value=\"317\">", kMalformedTrailer, 1, 1},
        {long_good, kStampValid, sum, sum},
        {body, kNotStamped, 1, 1},
        {long_good + "'>", kMalformedTrailer, 1, 1},
        {long_good + long_good, kMalformedTrailer, 1, 1},
    };
    for (const auto& c : cases) {
        const auto file = bytes(c.file);
        // Whole, then in pieces of every size.
        for (size_t piece = 0; piece <= file.size(); ++piece) {
            uint32_t stated = 1;
            uint32_t actual = 1;
            const int verdict = piece == 0 ? verify_stamp(file.data(), file.size(), stated, actual)
                                           : verify_stamp(scan_in_pieces(file, piece), stated, actual);
            EXPECT_EQ(verdict, c.verdict) << c.file << " in pieces of " << piece;
            EXPECT_EQ(stated, c.stated) << c.file << " in pieces of " << piece;
            EXPECT_EQ(actual, c.actual) << c.file << " in pieces of " << piece;
        }
    }
}

TEST(FindCrcMarker, FindsTheFirstAtEveryOffsetAmongNearMisses)
{
    const std::string marker = "<!--CRC Config-->";
    const std::string filler = "<!<!--CRC Config->!<<!--CRC Confi<!-";
    for (size_t length = 0; length < 160; ++length) {
        std::string text;
        while (text.size() < length)
            text += filler;
        text.resize(length);
        ASSERT_EQ(text.find(marker), std::string::npos);
        EXPECT_EQ(find_crc_marker(bytes(text).data(), length), length) << length;
        for (size_t at = 0; at + marker.size() <= length; ++at) {
            std::string with = text;
            with.replace(at, marker.size(), marker);
            const auto data = bytes(with);
            ASSERT_EQ(find_crc_marker(data.data(), data.size()), with.find(marker)) << length << " " << at;
        }
    }
}

TEST(ScanContent, PiecesOfEverySizeGiveTheBodyOfTheWhole)
{
    const std::string marker = "<!--CRC Config-->";
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        std::string content(rng() % 300, 'x');
        for (char& c : content)
            c = "<!-CRC onfig>x\0"[rng() % 15];
        if (round % 3 != 0)
            content.insert(rng() % (content.size() + 1), round % 2 ? marker : marker + "tail" + marker);
        const size_t at = content.find(marker);
        const std::string body = at == std::string::npos ? content : content.substr(0, at);
        const auto data = bytes(content);
        // Every size up to 40, then sizes that take whole blocks of 64.
        for (size_t piece = 1; piece <= 400; piece += piece < 40 ? 1 : 41) {
            const body_scan scan = scan_in_pieces(data, piece);
            ASSERT_EQ(scan.cut, at != std::string::npos) << round << " " << piece;
            ASSERT_EQ(scan.length, body.size()) << round << " " << piece;
            ASSERT_EQ(scan.sum, reference_sum(bytes(body).data(), body.size())) << round << " " << piece;
        }
    }
}

TEST(CheckSum32, AgreesWithByteLoopAtEveryAlignmentAndLength)
{
    std::vector<unsigned char> data(300);
    std::mt19937 rng(7);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    for (size_t offset = 0; offset < 17; ++offset)
        for (size_t length = 0; length + offset <= data.size(); ++length)
            ASSERT_EQ(check_sum32(data.data() + offset, static_cast<int64_t>(length)),
                      reference_sum(data.data() + offset, length))
                << offset << " " << length;

    EXPECT_EQ(check_sum32(data.data(), 0), 0u);
    EXPECT_EQ(check_sum32(data.data(), -5), 0u);
    const std::vector<unsigned char> ff(16843010, 0xFF);
    EXPECT_EQ(check_sum32(ff.data(), static_cast<int64_t>(ff.size())), 254u);
}

TEST(StampContent, StampingTwiceChangesNothing)
{
    std::mt19937 rng(2024);
    const std::string pieces[] = {"<!--CRC Config-->", "<!--CRC", "\r\n", std::string(1, '\0'),
                                  "<CRC key='CheckNum' value='1'>"};
    for (int round = 0; round < 2000; ++round) {
        std::string content;
        const int parts = static_cast<int>(rng() % 12);
        for (int p = 0; p < parts; ++p) {
            if (rng() % 4 == 0)
                content += pieces[rng() % std::size(pieces)];
            else
                content.append(rng() % 40, static_cast<char>(rng()));
        }
        const std::string once = stamped(content);
        ASSERT_EQ(stamped(once), once) << round;
        uint32_t stated = 0;
        uint32_t actual = 1;
        ASSERT_EQ(verify_stamp(bytes(once).data(), once.size(), stated, actual), kStampValid) << round;
        ASSERT_EQ(stated, actual) << round;
        const size_t marker = content.find("<!--CRC Config-->");
        const std::string body = marker == std::string::npos ? content + "\r\n" : content.substr(0, marker);
        ASSERT_EQ(once.compare(0, body.size(), body), 0) << round;
        ASSERT_EQ(once.find("<!--CRC Config-->"), body.size()) << round;
    }
}

}  // namespace
