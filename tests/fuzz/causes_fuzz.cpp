// Feeds refused files to the search for causes: arbitrary bytes, and good
// stamps that one or two known changes were made to the obvious way. A cause
// is named only when undoing it the obvious way, here on the whole file,
// gives a good stamp (for joined files, two); a change made to a good stamp
// is always explained. Reading in pieces of any size changes nothing.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "causes.h"

static void require(bool ok)
{
    if (!ok)
        std::abort();
}

static bool good(const std::string& file)
{
    uint32_t stated = 0;
    uint32_t actual = 0;
    return verify_stamp(reinterpret_cast<const unsigned char*>(file.data()), file.size(), stated, actual) ==
           kStampValid;
}

static std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

static const std::string kMarker = "<!--CRC Config-->";
// The trailer's element with either quotes on each attribute, and closed or not.
static const std::string kElement = "<CRC key=(['\"])CheckNum\\1 value=(['\"])([\\s\\S]*?)\\2( ?/>|></CRC>|>)";

// Each change made, and undone, the obvious way; an undoing that finds no sign
// of its change gives "".
struct change {
    std::function<std::string(const std::string&, int variant)> make;
    std::function<std::string(const std::string&)> undo;
};

static unsigned windows_1252(unsigned char byte)
{
    return byte >= 0x80 && byte < 0xA0 ? kWindows1252[byte - 0x80] : byte;
}

static const std::map<std::string, change> kChanges = {
    {"UTF-16",
     {[](const std::string& f, int variant) {
          std::string text = variant % 2 ? "\xFE\xFF" : "\xFF\xFE";
          for (const char c : f) {
              const unsigned unit = windows_1252(static_cast<unsigned char>(c));
              const std::string bytes = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
              text += variant % 2 ? std::string(bytes.rbegin(), bytes.rend()) : bytes;
          }
          return text;
      },
      [](const std::string& f) {
          const bool big = f.rfind("\xFE\xFF", 0) == 0;
          if ((!big && f.rfind("\xFF\xFE", 0) != 0) || f.size() % 2 != 0)
              return std::string();
          std::string bytes;
          for (size_t i = 2; i < f.size(); i += 2) {
              const unsigned unit = static_cast<unsigned char>(f[i + big]) | static_cast<unsigned char>(f[i + !big])
                                                                                 << 8;
              int byte = 0;
              while (byte < 256 && windows_1252(static_cast<unsigned char>(byte)) != unit)
                  ++byte;
              if (byte == 256)
                  return std::string();
              bytes += static_cast<char>(byte);
          }
          return bytes;
      }}},
    {"byte order mark",
     {[](const std::string& f, int) { return "\xEF\xBB\xBF" + f; },
      [](const std::string& f) { return f.rfind("\xEF\xBB\xBF", 0) == 0 ? f.substr(3) : std::string(); }}},
    {"LF line ends",
     {[](const std::string& f, int) { return replaced(f, "\r\n", "\n"); },
      [](const std::string& f) { return replaced(f, "\n", "\r\n"); }}},
    {"CR CR LF line ends",
     {[](const std::string& f, int) { return replaced(f, "\r\n", "\r\r\n"); },
      [](const std::string& f) { return replaced(f, "\r\n", "\n"); }}},
    {"final line end",
     {[](const std::string& f, int variant) { return f + (variant % 2 ? "\n" : "\r\n"); },
      [](const std::string& f) {
          const size_t cut = f.size() >= 2 && f.substr(f.size() - 2) == "\r\n" ? 2 : !f.empty() && f.back() == '\n';
          return cut == 0 ? std::string() : f.substr(0, f.size() - cut);
      }}},
    {"formatted trailer",
     {[](const std::string& f, int variant) {
          const size_t marker = f.find(kMarker);
          if (marker == std::string::npos)
              return f;
          const size_t element = std::min(marker + kMarker.size() + 2, f.size());
          const std::string quote = variant % 2 ? "\"" : "'";
          const std::string closed[] = {">", "/>", " />", "></CRC>"};
          return f.substr(0, element) + std::regex_replace(f.substr(element), std::regex(kElement),
                                                           "<CRC key=" + quote + "CheckNum" + quote + " value=" +
                                                               quote + "$3" + quote + closed[variant / 2 % 4]);
      },
      [](const std::string& f) {
          const size_t marker = f.find(kMarker);
          std::smatch form;
          const std::string written = marker < f.size() ? f.substr(marker + kMarker.size()) : "";
          if (!std::regex_match(written, form, std::regex("\r\n" + kElement)))
              return std::string();
          return f.substr(0, marker) + kMarker + "\r\n<CRC key='CheckNum' value='" + form[3].str() + "'>";
      }}},
    {"joined files",
     {[](const std::string& f, int variant) {
          std::vector<unsigned char> second(f.rbegin(), f.rbegin() + std::min<size_t>(f.size(), variant % 8));
          stamp_content(second);
          return f + std::string(second.begin(), second.end());
      },
      [](const std::string& f) {
          // The first file ends where the value after the first marker ends;
          // the second must be a good stamp too.
          const size_t end = f.find("'>", f.find(kMarker));
          return end == std::string::npos || !good(f.substr(end + 2)) ? std::string() : f.substr(0, end + 2);
      }}},
};

// The changes that the search names for `file`, read in pieces of sizes that
// `seed` gives.
static cause search(const std::string& file, size_t seed)
{
    const auto* data = reinterpret_cast<const unsigned char*>(file.data());
    cause_scan scan;
    scan_content(scan.verdict, data, file.size());
    end_scan(scan.verdict);
    for (size_t at = 0, piece = seed % 29 + 2; at < file.size(); at += piece, piece = piece * 7 % 41 + 1)
        if (!scan_for_causes(scan, data + at, std::min(piece, file.size() - at)))
            break;
    end_cause_scan(scan);
    explain_refusal(scan);
    return find_cause(scan);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte chooses up to two changes and their variants; the rest
    // is the file, or the content of the stamp they are made to.
    const std::string content(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::vector<const change*> made;
    for (int pick : {data[0] % 8, data[0] / 8 % 8})
        if (pick < static_cast<int>(kChanges.size()))
            made.push_back(&std::next(kChanges.begin(), pick)->second);
    std::string file = content;
    if (data[0] >= 64 && !made.empty()) {
        std::vector<unsigned char> stamped(content.begin(), content.end());
        stamp_content(stamped);
        file.assign(stamped.begin(), stamped.end());
        for (const change* c : made)
            file = c->make(file, data[1]);
    }
    if (good(file))
        return 0;

    const cause found = search(file, data[1]);
    std::string undone = file;
    for (int i = 0; i < found.count; ++i) {
        const auto known = kChanges.find(found.changes[i]->name);
        require(known != kChanges.end());
        undone = known->second.undo(undone);
        require(!undone.empty());
    }
    require(found.count == 0 || good(undone));

    // One change made to a good stamp, which undoing it takes back, is found;
    // UTF-16 text is decoded only where no marker shows as bytes.
    if (data[0] >= 64 && made.size() == 1 && good(made[0]->undo(file)) &&
        (made[0] != &kChanges.at("UTF-16") || file.find(kMarker) == std::string::npos))
        require(found.count > 0);
    return 0;
}
