// LogManager: sets up the library's logging once per process and tears it down at exit.
// It probes the log directory, reads and rewrites its "config.json", puts a rotating log
// file behind a synchronous or asynchronous spdlog logger, makes that logger the default
// one and writes the banner. At exit it writes "app end" through a synchronous logger.
#pragma once
#include <spdlog/async.h>
#include <spdlog/spdlog.h>

#include <cstdint>
#include <memory>
#include <string>

namespace qx::core::base {

// The settings read from the log directory's "config.json", after defaults and clamping.
struct LogSettings {
    spdlog::level::level_enum level = spdlog::level::info;
    bool levelTextKnown = true; // the level text was one of the seven names
    bool asyncEnabled = true;
    uint32_t fileSizeMb = 10;
    // The warning the file gave when it was beyond the bounds of settings files; empty otherwise.
    std::string warning;
};

class LogManager {
public:
    // `dir` is the log directory; the library uses "QxCamSdk-Log" in the working directory.
    explicit LogManager(std::string dir = "QxCamSdk-Log");
    ~LogManager();
    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

    static bool checkDirWritable(const std::string& dir);
    // Reads the settings file at `path` and rewrites it with the values in use.
    static LogSettings readAndRewriteSettings(const std::string& path);

    bool isWritable() const { return m_writable; }
    const std::string& logFilePath() const { return m_logFilePath; }

private:
    std::shared_ptr<spdlog::details::thread_pool> m_pool; // the asynchronous logger's worker
    std::shared_ptr<spdlog::logger> m_logger;
    std::string m_dir;
    std::string m_logFilePath;
    uint32_t m_fileSizeMb = 10;
    bool m_writable = false;
    bool m_async = false;
};

// The process's LogManager, made on first use.
LogManager& getLogManager();

} // namespace qx::core::base
