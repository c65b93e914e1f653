#include "core/ConfigFile.h"

#include <atomic>
#include <cerrno>
#include <fstream>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qx {
namespace {

struct NestedValue {};

// Refuses any container but the top-level object the moment its bracket is read.
bool refuseNesting(int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    const bool container =
        event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start;
    if (container && (depth > 0 || event == nlohmann::json::parse_event_t::array_start)) throw NestedValue{};
    return true;
}

template <typename Input>
nlohmann::json parseFlat(Input&& input) {
    try {
        nlohmann::json doc = nlohmann::json::parse(std::forward<Input>(input), refuseNesting, true, false);
        if (doc.is_object()) return doc;
    } catch (const NestedValue&) {
    } catch (const std::exception&) {
    }
    return nullptr;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

nlohmann::json parseFlatJsonObject(std::istream& in) { return parseFlat(in); }

nlohmann::json parseFlatJsonObject(const std::string& text) { return parseFlat(text); }

nlohmann::json readFlatJsonObjectFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    return parseFlat(in);
}

bool replaceFileContents(const std::string& path, const std::string& text) {
    // A name of its own per process and call: concurrent writers never share a new file.
    static std::atomic<unsigned> serial{0};
    const std::string temp =
        path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) (void)::fchmod(fd, old.st_mode & 07777);
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

} // namespace qx
