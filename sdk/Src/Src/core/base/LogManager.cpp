#include "core/base/LogManager.h"

#include "core/base/ConfigFile.h"
#include "Sys/Log.h"

#include <nlohmann/json.hpp>
#include <spdlog/async.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qx::core::base {
namespace {

const char* const kLoggerName = "QxCamSdk-Log";
const char* const kPattern = "[%C%m%d %H:%M:%S.%e] [%L] [t%t] %v";

spdlog::level::level_enum levelFromText(const std::string& text, bool* known) {
    static const struct {
        const char* name;
        spdlog::level::level_enum level;
    } kLevels[] = {{"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},
                   {"info", spdlog::level::info},   {"warning", spdlog::level::warn},
                   {"error", spdlog::level::err},   {"critical", spdlog::level::critical},
                   {"off", spdlog::level::off}};
    for (const auto& l : kLevels) {
        if (text == l.name) {
            *known = true;
            return l.level;
        }
    }
    *known = false;
    return spdlog::level::info;
}

std::shared_ptr<spdlog::sinks::rotating_file_sink_mt> makeSink(const std::string& path, uint32_t sizeMb) {
    return std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, static_cast<size_t>(sizeMb) * 1048576u, 2,
                                                                  false);
}

} // namespace

LogManager& getLogManager() {
    static LogManager manager;
    return manager;
}

bool LogManager::checkDirWritable(const std::string& dir) {
    if (dir.empty()) return false;
    std::string walk = dir;
    if (walk.back() != '/' && walk.back() != '\\') walk += '/';
    for (size_t i = 0; i < walk.size(); ++i) {
        if (walk[i] != '/' && walk[i] != '\\') continue;
        walk[i] = '/';
        if (i == 0) continue; // the root of an absolute path
        const std::string prefix = walk.substr(0, i);
        if (::access(prefix.c_str(), F_OK) != 0 && ::mkdir(prefix.c_str(), 0777) != 0) return false;
    }
    // Both separators name directories, as the walk above treats them.
    const std::string probe = walk + "qx_cam_sdk_tmp_test_231124.txt";
    std::FILE* f = std::fopen(probe.c_str(), "w");
    if (!f) return false;
    std::fclose(f);
    return std::remove(probe.c_str()) == 0;
}

LogSettings LogManager::readAndRewriteSettings(const std::string& path) {
    // A file that is missing, does not parse or is not one object within the bounds of settings
    // files is replaced by an object holding the settings in use; other keys are kept.
    LogSettings s;
    nlohmann::json doc = readJsonObjectFile(path, &s.warning);
    if (!doc.is_object()) doc = nlohmann::json::object();

    std::string levelText = "info";
    auto it = doc.find("level");
    if (it != doc.end() && it->is_string()) levelText = it->get<std::string>();
    s.level = levelFromText(levelText, &s.levelTextKnown);

    it = doc.find("async_enabled");
    if (it != doc.end() && it->is_boolean()) s.asyncEnabled = it->get<bool>();

    it = doc.find("file_size");
    if (it != doc.end() && it->is_number_unsigned()) {
        const uint64_t v = it->get<uint64_t>();
        s.fileSizeMb = static_cast<uint32_t>(v < 1 ? 1 : (v > 256 ? 256 : v));
    }

    doc["level"] = levelText;
    doc["async_enabled"] = s.asyncEnabled;
    doc["file_size"] = s.fileSizeMb;
    // Written beside the old file and renamed over it; a file that cannot be written back is
    // left as it was.
    replaceFileContents(path, doc.dump(4) + '\n');
    return s;
}

LogManager::LogManager(std::string dir) : m_dir(std::move(dir)) {
    m_writable = checkDirWritable(m_dir);
    if (!m_writable) {
        QX_LOG_WARN("Dir:{} is not writeable!", m_dir);
        spdlog::set_level(spdlog::level::off);
        return;
    }
    const LogSettings settings = readAndRewriteSettings(m_dir + "/config.json");
    m_fileSizeMb = settings.fileSizeMb;
    m_async = settings.asyncEnabled;
    m_logFilePath = m_dir + "/rotating_log.txt";

    auto sink = makeSink(m_logFilePath, m_fileSizeMb);
    if (m_async) {
        // The pool is held here as well as made the registry's: the registry belongs to the
        // whole process (other code on the shared spdlog, a second manager), and whoever
        // replaces its pool must not leave this logger without a worker while threads still
        // write through it.
        m_pool = std::make_shared<spdlog::details::thread_pool>(16384, 1,
                                                                [] { pthread_setname_np(pthread_self(), "qx-log"); });
        spdlog::details::registry::instance().set_tp(m_pool);
        m_logger =
            std::make_shared<spdlog::async_logger>(kLoggerName, sink, m_pool, spdlog::async_overflow_policy::block);
        if (settings.levelTextKnown) m_logger->flush_on(spdlog::level::err);
    } else {
        m_logger = std::make_shared<spdlog::logger>(kLoggerName, sink);
        m_logger->flush_on(settings.level);
    }
    m_logger->set_pattern(kPattern);

    m_logger->set_level(spdlog::level::critical);
    for (const char* line :
         {"-----Instructions-----", "[T] -- trace", "[D] -- debug", "[I] -- info", "[W] -- warning", "[E] -- error",
          "[C] -- critical", "[O] -- off", "[txxx] -- thread id", "----------------------", "app start"}) {
        m_logger->critical(line);
    }
    m_logger->critical("log params: level={}, async_enabled={}, file_size={}M",
                       spdlog::level::to_string_view(settings.level), settings.asyncEnabled, m_fileSizeMb);
    m_logger->flush();
    m_logger->set_level(settings.level);
    // The banner is written before the logger takes other threads' lines (at level critical it
    // would drop them). It replaces the default logger, and one registered under the same
    // name, in one step: a line written meanwhile reaches the old logger or this one.
    spdlog::set_default_logger(m_logger);
    spdlog::flush_every(std::chrono::seconds(3));
    if (!settings.warning.empty()) m_logger->warn(settings.warning);
}

LogManager::~LogManager() {
    if (!m_writable) return;
    if (m_async) {
        // From here on lines go through a synchronous logger on the same sink (one file handle,
        // one size count, whole lines); it replaces the asynchronous one in one step, so a line
        // is never without a logger. The worker stops once the threads that still hold the
        // asynchronous logger for a line are done with it and the queued lines are written.
        auto sync = std::make_shared<spdlog::logger>(kLoggerName, m_logger->sinks().begin(), m_logger->sinks().end());
        // A manager made after this one keeps the default logger it put in place.
        if (spdlog::default_logger() == m_logger) {
            spdlog::set_default_logger(sync);
        } else if (spdlog::get(kLoggerName) == m_logger) {
            spdlog::drop(kLoggerName);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (m_logger.use_count() > 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m_logger.reset();
        if (spdlog::thread_pool() == m_pool) spdlog::details::registry::instance().set_tp(nullptr);
        m_pool.reset();
        m_logger = sync;
    }
    m_logger->set_level(spdlog::level::critical);
    m_logger->critical("app end");
    m_logger->flush();
    m_logger.reset();
}

} // namespace qx::core::base
