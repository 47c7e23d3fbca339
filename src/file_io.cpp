#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform.h"
#include "results.h"
#include "stamp.h"

namespace fs = std::filesystem;

namespace {

// Some C runtimes take no more than 2 GiB in one read or write.
constexpr size_t kMaxChunk = size_t{1} << 24;

// Reads until the end of the file, growing `xml_file` only when the file turns
// out longer than its size said (a pipe, or a file still being written).
bool read_all(std::FILE* p_sw_file, std::vector<unsigned char>& xml_file, size_t expected)
{
    size_t length = 0;
    xml_file.resize(expected + 1);
    for (;;) {
        if (length == xml_file.size())
            xml_file.resize(std::max(length * 2, size_t{1} << 16));
        const size_t want = std::min(xml_file.size() - length, kMaxChunk);
        const size_t rd = std::fread(xml_file.data() + length, 1, want, p_sw_file);
        length += rd;
        if (rd < want)
            break;
    }
    xml_file.resize(length);
    return std::ferror(p_sw_file) == 0;
}

bool write_all(std::FILE* p_img_file, const unsigned char* data, size_t size)
{
    while (size > 0) {
        const size_t chunk = std::min(size, kMaxChunk);
        if (std::fwrite(data, 1, chunk, p_img_file) != chunk)
            return false;
        data += chunk;
        size -= chunk;
    }
    return true;
}

// A new file beside `target`, so that renaming it over the target stays on
// one file system and cannot fail half-way.
std::FILE* create_temp_beside(const fs::path& target, unsigned mode, std::string& tmp)
{
    std::string hidden = target.filename().string();
    hidden.insert(hidden.begin(), '.');
    hidden += '.';
    const std::string stem = (target.parent_path() / hidden).string();
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%06x", static_cast<unsigned>(seed >> 40));
        tmp = stem + suffix + ".tmp";
        std::FILE* file = create_new_file(tmp.c_str(), mode);
        if (file != nullptr || errno != EEXIST)
            return file;
    }
    return nullptr;
}

int write_in_place(const char* fname, const unsigned char* data, size_t size)
{
    std::FILE* p_img_file = std::fopen(fname, "wb");
    if (p_img_file == nullptr)
        return kCantWrite;
    bool ok = write_all(p_img_file, data, size) && std::fflush(p_img_file) == 0;
    ok = std::fclose(p_img_file) == 0 && ok;
    return ok ? 0 : kCantWrite;
}

}  // namespace

int read_whole_file(const char* openname, std::vector<unsigned char>& xml_file)
{
    std::FILE* p_sw_file = std::fopen(openname, "rb");
    if (p_sw_file == nullptr)
        return kCantOpen;
    std::error_code ec;
    uintmax_t expected = fs::file_size(openname, ec);
    if (ec)
        expected = 0;
    // Any failure to get the memory leaves the result at kTooLarge.
    int result = kTooLarge;
    if (expected <= xml_file.max_size() - kStampGrowth) {
        try {
            xml_file.clear();
            xml_file.reserve(static_cast<size_t>(expected) + kStampGrowth);
            expect_to_fill(xml_file.data(), xml_file.capacity());
            result = read_all(p_sw_file, xml_file, static_cast<size_t>(expected)) ? 0 : kCantRead;
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
    }
    // The caller may want to say why the read failed.
    const int read_errno = errno;
    std::fclose(p_sw_file);
    errno = read_errno;
    return result;
}

int write_output_file(const char* fname, const unsigned char* data, size_t size)
{
    if (is_device(fname))
        return write_in_place(fname, data, size);

    // Writing through a link must change the file it names, not the link.
    std::string target_name = fname;
    if (!follow_links(target_name))
        return kCantWrite;
    const fs::path target = target_name;
    std::error_code ec;
    const fs::file_status old = fs::status(target, ec);
    const bool exists = fs::exists(old);
    if (exists) {
        // A rename would replace a file that may not be written; opening it
        // for writing is the test that "wb" would have made.
        std::FILE* probe = std::fopen(target_name.c_str(), "ab");
        if (probe == nullptr)
            return kCantWrite;
        std::fclose(probe);
    }

    // Never more open than the file it replaces, not even for a moment; a new
    // output gets what "wb" would give it.
    const unsigned mode = exists ? static_cast<unsigned>(old.permissions() & fs::perms::all) : 0666;
    std::string tmp;
    std::FILE* p_img_file = create_temp_beside(target, mode, tmp);
    if (p_img_file == nullptr)
        return kCantWrite;
    bool ok = write_all(p_img_file, data, size) && sync_file(p_img_file);
    ok = std::fclose(p_img_file) == 0 && ok;
    if (ok && exists) {
        fs::permissions(tmp, old.permissions(), ec);
        ok = !ec;
    }
    ok = ok && replace_file(tmp.c_str(), target_name.c_str());
    if (!ok)
        std::remove(tmp.c_str());
    return ok ? 0 : kCantWrite;
}
