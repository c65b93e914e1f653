#include "core/base/ConfigFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qx::core::base {
namespace {

struct TooDeep {};

// Stops the parser at the first container beyond the depth bound, before it is built.
bool boundDepth(int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    const bool opens =
        event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start;
    // `depth` counts the containers already open around this one.
    if (opens && depth >= kMaxSettingsDepth) throw TooDeep{};
    return true;
}

std::string tooLarge() { return "is larger than " + std::to_string(kMaxSettingsFileBytes) + " bytes"; }

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

// Reads at most `limit` + 1 bytes, so a file that grew after its size was checked is still
// caught. False on a read error.
bool readBounded(int fd, size_t limit, std::string* text) {
    text->clear();
    char buf[65536];
    while (text->size() <= limit) {
        const size_t want = std::min(sizeof buf, limit + 1 - text->size());
        const ssize_t n = ::read(fd, buf, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        text->append(buf, static_cast<size_t>(n));
    }
    return true;
}

// A settings object parsed from `text`, or null; *refusal names a bound the text is beyond.
nlohmann::json parseJsonObject(const std::string& text, std::string* refusal) {
    if (text.size() > kMaxSettingsFileBytes) {
        *refusal = tooLarge();
        return nullptr;
    }
    try {
        nlohmann::json doc = nlohmann::json::parse(text, boundDepth, true, false);
        if (doc.is_object()) return doc;
    } catch (const TooDeep&) {
        *refusal = "is nested deeper than " + std::to_string(kMaxSettingsDepth) + " levels";
    } catch (const std::exception&) {
    }
    return nullptr;
}

} // namespace

nlohmann::json readJsonObjectFile(const std::string& path, std::string* warning) {
    // Non-blocking, so that a pipe in the file's place is not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    nlohmann::json doc;
    std::string refusal, text;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        // Unreadable: null, silently.
    } else if (!S_ISREG(st.st_mode)) {
        refusal = "is not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) > kMaxSettingsFileBytes) {
        // Refused by its size alone: nothing of it is read.
        refusal = tooLarge();
    } else if (readBounded(fd, kMaxSettingsFileBytes, &text)) {
        doc = parseJsonObject(text, &refusal);
    }
    ::close(fd);
    if (!refusal.empty() && warning) *warning = "Config file:" + path + " " + refusal + ", read as malformed";
    return doc;
}

bool replaceFileContents(const std::string& path, const std::string& text) {
    // A name of its own per process and call: concurrent writers never share a new file.
    static std::atomic<unsigned> serial{0};
    const std::string temp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1));
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

} // namespace qx::core::base
