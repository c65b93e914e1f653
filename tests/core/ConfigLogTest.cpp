// "QxSdkConfig.json" and the log manager: defaults, malformed and mistyped values,
// clamping, the rewrite of "config.json", an unwritable log directory.
#include "core/base/ConfigFile.h"
#include "LogCapture.h"
#include "core/base/LogManager.h"
#include "core/base/SdkConfig.h"
#include "Sys/Log.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qx::core::base;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

json parse(const char* text) { return json::parse(text); }

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

fs::path scratchDir(const char* name) {
    fs::path dir = fs::temp_directory_path() / ("qxcam-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// The log front-end names the function a "func:{}" line is written from: the member itself,
// the function around a lambda, a template without its arguments; QX_LOG_NAMED writes the
// caller's name and QX_FUNC fills a name field elsewhere in the line.
struct NamedLines {
    void writeLines() {
        QX_LOG_INFO("func:{}, from the member {}", 1);
        [] { QX_LOG_WARN("func:{} failed"); }();
        QX_LOG_NAMED(spdlog::level::err, "QX_Caller", "func:{} end, ret=0x{:x}", 0x80000001u);
        QX_LOG_DEBUG("dev:{}({}), func:{}, Event len:{}", "Cam", "S1", QX_FUNC, 4);
    }
};

template <typename T>
void writeFromTemplate(T value) {
    QX_LOG_INFO("func:{}, value={}", value);
}

TEST(LogFrontEnd, LinesNameTheFunctionTheyAreWrittenFrom) {
    static_assert(qx::sys::log::functionName("QX_STATUS qx::FeatureBase::getIntValue(const char*, int64_t*)") ==
                  "getIntValue");
    static_assert(qx::sys::log::functionName("qx::FeatureBase::getIntValue(const char*)::<lambda(CNodePtr&)>") ==
                  "getIntValue");
    static_assert(qx::sys::log::functionName("auto qx::A::run(int)::(anonymous class)::operator()() const") == "run");
    static_assert(qx::sys::log::functionName("void writeFromTemplate(T) [with T = int]") == "writeFromTemplate");
    static_assert(qx::sys::log::functionName("writeFromTemplate<int>(int)::<lambda()>") == "writeFromTemplate");
    static_assert(qx::sys::log::functionName("std::function<void (int)> qx::make(int)") == "make");
    static_assert(qx::sys::log::functionName("virtual void (anonymous namespace)::Fixture_Case_Test::TestBody()") ==
                  "TestBody");
    static_assert(qx::sys::log::fieldCount("func:{}, {{literal}} {:08X} {:.2f}") == 3);
    static_assert(qx::sys::log::fieldCount("{0} {1}") == -1);

    qxtest::LogCapture log;
    NamedLines().writeLines();
    writeFromTemplate(7);
    qxtest::LogLine line{};
    ASSERT_TRUE(log.find("func:writeLines, from the member 1", &line));
    EXPECT_EQ(line.level, spdlog::level::info);
    ASSERT_TRUE(log.find("func:writeLines failed", &line));
    EXPECT_EQ(line.level, spdlog::level::warn);
    ASSERT_TRUE(log.find("func:QX_Caller end, ret=0x80000001", &line));
    EXPECT_EQ(line.level, spdlog::level::err);
    EXPECT_TRUE(log.has("dev:Cam(S1), func:writeLines, Event len:4"));
    EXPECT_TRUE(log.has("func:writeFromTemplate, value=7"));
}

TEST(SdkConfig, DefaultsWithoutAFile) {
    const json none = qx::core::base::loadSdkConfig("/nonexistent/QxSdkConfig.json");
    EXPECT_TRUE(none.is_null());
    EXPECT_EQ(qx::core::base::getQxUsb3XmlPath(none), "../../QxUsb3Xml/");
    EXPECT_EQ(qx::core::base::getQxUsb3TransferBufCount(none), -1);
    EXPECT_EQ(qx::core::base::getGigeXmlFilePath(none), "");
}

TEST(SdkConfig, XmlPathGetsASeparatorAndAcceptsBackslashes) {
    EXPECT_EQ(qx::core::base::getQxUsb3XmlPath(parse(R"({"QxUsb3XmlPath": "/opt/xml"})")), "/opt/xml/");
    EXPECT_EQ(qx::core::base::getQxUsb3XmlPath(parse(R"({"QxUsb3XmlPath": "/opt/xml/"})")), "/opt/xml//");
    EXPECT_EQ(qx::core::base::getQxUsb3XmlPath(parse(R"({"QxUsb3XmlPath": "..\\xml"})")), "../xml/");
    EXPECT_EQ(qx::core::base::getQxUsb3XmlPath(parse(R"({"QxUsb3XmlPath": ""})")), "../../QxUsb3Xml/");
    EXPECT_EQ(qx::core::base::getQxUsb3XmlPath(parse(R"({"QxUsb3XmlPath": 5})")), "../../QxUsb3Xml/");
    EXPECT_EQ(qx::core::base::getQxUsb3XmlPath(parse(R"([1, 2])")), "../../QxUsb3Xml/");
    // UTF-8 passes through untouched.
    EXPECT_EQ(qx::core::base::getGigeXmlFilePath(parse(R"({"GigeXmlFilePath": "/data/相机.xml"})")), "/data/相机.xml");
    EXPECT_EQ(qx::core::base::getGigeXmlFilePath(parse(R"({"GigeXmlFilePath": true})")), "");
}

TEST(SdkConfig, TransferBufCountConversionsAndClamping) {
    auto count = [](const char* value) {
        return qx::core::base::getQxUsb3TransferBufCount(
            json::parse(std::string(R"({"QxUsb3TransferBufCount": )") + value + "}"));
    };
    EXPECT_EQ(count("5000"), 1024);
    EXPECT_EQ(count("-3"), -1);
    EXPECT_EQ(count("7.9"), 7);
    EXPECT_EQ(count("true"), 1);
    EXPECT_EQ(count("false"), 0);
    EXPECT_EQ(count("\"12\""), -1);
    EXPECT_EQ(count("null"), -1);
    EXPECT_EQ(count("16"), 16);
    // Far outside the int range: clamped, never undefined.
    EXPECT_EQ(count("1e300"), 1024);
    EXPECT_EQ(count("-1e300"), -1);
    EXPECT_EQ(count("18446744073709551615"), 1024);
    EXPECT_EQ(count("-9223372036854775808"), -1);
}

TEST(SdkConfig, SyntaxErrorAndCommentsGiveAllDefaults) {
    const fs::path dir = scratchDir("cfg");
    std::ofstream(dir / "a.json") << R"({"QxUsb3TransferBufCount": 8, "GigeXmlFilePath": "x.xml", )";
    EXPECT_TRUE(qx::core::base::loadSdkConfig((dir / "a.json").string()).is_null());
    std::ofstream(dir / "b.json") << "{ // comment\n \"QxUsb3TransferBufCount\": 8 }";
    EXPECT_TRUE(qx::core::base::loadSdkConfig((dir / "b.json").string()).is_null());
    std::ofstream(dir / "c.json") << R"({"QxUsb3TransferBufCount": 8})";
    EXPECT_EQ(qx::core::base::getQxUsb3TransferBufCount(qx::core::base::loadSdkConfig((dir / "c.json").string())), 8);
    fs::remove_all(dir);
}

TEST(LogSettings, DefaultsAreWrittenWhenThereIsNoFile) {
    const fs::path dir = scratchDir("logdefaults");
    const auto s = qx::core::base::LogManager::readAndRewriteSettings((dir / "config.json").string());
    EXPECT_EQ(s.level, spdlog::level::info);
    EXPECT_TRUE(s.asyncEnabled);
    EXPECT_EQ(s.fileSizeMb, 10u);
    EXPECT_EQ(readFile(dir / "config.json"),
              "{\n    \"async_enabled\": true,\n    \"file_size\": 10,\n    \"level\": \"info\"\n}\n");
    fs::remove_all(dir);
}

TEST(LogSettings, ClampingMistypedValuesAndExtraKeys) {
    const fs::path dir = scratchDir("logclamp");
    const fs::path file = dir / "config.json";
    struct Case {
        const char* text;
        uint32_t size;
        bool async;
    } cases[] = {{R"({"file_size": 0})", 1, true},
                 {R"({"file_size": 1000})", 256, true},
                 {R"({"file_size": -5})", 10, true},
                 {R"({"file_size": 2.5})", 10, true},
                 {R"({"async_enabled": "false"})", 10, true},
                 {R"({"async_enabled": false})", 10, false}};
    for (const auto& c : cases) {
        std::ofstream(file) << c.text;
        const auto s = qx::core::base::LogManager::readAndRewriteSettings(file.string());
        EXPECT_EQ(s.fileSizeMb, c.size) << c.text;
        EXPECT_EQ(s.asyncEnabled, c.async) << c.text;
        const json back = json::parse(readFile(file));
        EXPECT_EQ(back["file_size"], c.size) << c.text;
        EXPECT_EQ(back["async_enabled"], c.async) << c.text;
    }
    std::ofstream(file) << R"({"level": "DEBUG", "extra": "kept", "n": null})";
    const auto s = qx::core::base::LogManager::readAndRewriteSettings(file.string());
    EXPECT_EQ(s.level, spdlog::level::info);
    EXPECT_FALSE(s.levelTextKnown);
    const json back = json::parse(readFile(file));
    EXPECT_EQ(back["level"], "DEBUG") << "the text is kept as written";
    EXPECT_EQ(back["extra"], "kept");
    EXPECT_TRUE(back.contains("n"));

    std::ofstream(file) << "not json";
    EXPECT_EQ(qx::core::base::LogManager::readAndRewriteSettings(file.string()).fileSizeMb, 10u);
    EXPECT_TRUE(json::parse(readFile(file)).is_object());
    std::ofstream(file) << "[1, 2, 3]";
    EXPECT_EQ(qx::core::base::LogManager::readAndRewriteSettings(file.string()).level, spdlog::level::info);
    EXPECT_TRUE(json::parse(readFile(file)).is_object());
    fs::remove_all(dir);
}

// Text of `depth` nested arrays inside the value of `key` of an object.
std::string nestedValue(const char* key, size_t depth) {
    return std::string("{\"") + key + "\": " + std::string(depth, '[') + std::string(depth, ']') + "}";
}

std::vector<std::string> directoryEntries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// `levels` containers open at once: the top-level object holding "k": [[...[1]...]].
std::string nestedToDepth(const char* key, size_t levels) {
    return std::string("{\"") + key + "\": " + std::string(levels - 1, '[') + "1" + std::string(levels - 1, ']') + "}";
}

// An object of `size` bytes: the three SDK keys' neighbour "QxUsb3TransferBufCount": 8 and a text
// that pads it.
std::string objectOfSize(size_t size) {
    const std::string head = R"({"QxUsb3TransferBufCount": 8, "pad": ")";
    return head + std::string(size - head.size() - 2, 'x') + "\"}";
}

TEST(SdkConfig, AnyJsonObjectIsReadNestedValuesIncluded) {
    const fs::path dir = scratchDir("cfgnested");
    const fs::path file = dir / "QxSdkConfig.json";
    std::ofstream(file) << R"({"QxUsb3XmlPath": "/opt/xml", "QxUsb3TransferBufCount": 8,
                               "usb": {"extra": [1, {"b": [true, null]}]}, "list": []})";
    const json doc = qx::core::base::loadSdkConfig(file.string());
    EXPECT_EQ(qx::core::base::getQxUsb3XmlPath(doc), "/opt/xml/");
    EXPECT_EQ(qx::core::base::getQxUsb3TransferBufCount(doc), 8);
    EXPECT_EQ(doc["usb"]["extra"][1]["b"], json::array({true, nullptr}));

    // Other top-level values are no settings object.
    for (const char* text : {R"([{"QxUsb3TransferBufCount": 8}])", "8", R"("text")"}) {
        std::ofstream(file) << text;
        EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null()) << text;
    }
    fs::remove_all(dir);
}

TEST(SdkConfig, FilesBeyondTheBoundsAreMalformedWithOneWarning) {
    const fs::path dir = scratchDir("cfgbounds");
    const fs::path file = dir / "QxSdkConfig.json";
    const std::string depthWarning =
        "Config file:" + file.string() + " is nested deeper than 64 levels, read as malformed";
    const std::string sizeWarning = "Config file:" + file.string() + " is larger than 1048576 bytes, read as malformed";
    qxtest::LogCapture capture;

    std::ofstream(file) << nestedToDepth("QxUsb3TransferBufCount", 64);
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_object()) << "64 levels are read";
    std::ofstream(file) << nestedToDepth("QxUsb3TransferBufCount", 65);
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null());
    EXPECT_EQ(capture.count(depthWarning), 1u);
    // Half a megabyte of brackets inside the object, or a whole one alone, stops at the 65th.
    std::ofstream(file) << nestedValue("QxUsb3XmlPath", 1 << 18);
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null());
    std::ofstream(file) << std::string(1 << 20, '[');
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null());
    EXPECT_EQ(capture.count(depthWarning), 3u) << "one warning per file read";

    std::ofstream(file) << objectOfSize(1 << 20);
    EXPECT_EQ(qx::core::base::getQxUsb3TransferBufCount(qx::core::base::loadSdkConfig(file.string())), 8)
        << "1 MiB is read";
    EXPECT_EQ(capture.count(sizeWarning), 0u);
    std::ofstream(file) << objectOfSize((1 << 20) + 1);
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null());
    std::ofstream(file) << std::string(2 << 20, ' ') << R"({"QxUsb3TransferBufCount": 8})";
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null()) << "blanks count";
    EXPECT_EQ(capture.count(sizeWarning), 2u);

    // Neither a pipe nor a directory is waited on or read; a missing file gives no warning.
    capture.clear();
    fs::remove(file);
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null());
    EXPECT_TRUE(capture.lines().empty());
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null());
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_TRUE(qx::core::base::loadSdkConfig(file.string()).is_null());
    EXPECT_EQ(capture.count("Config file:" + file.string() + " is not a regular file, read as malformed"), 2u);
    fs::remove_all(dir);
}

TEST(LogSettings, NestedValuesAreReadAndKeptOnRewrite) {
    const fs::path dir = scratchDir("lognested");
    const fs::path file = dir / "config.json";
    std::ofstream(file) << R"({"level": "debug", "extra": [1, 2], "sinks": {"file": {"rotate": [true, {"n": 2}]}}})";
    const auto s = qx::core::base::LogManager::readAndRewriteSettings(file.string());
    EXPECT_EQ(s.level, spdlog::level::debug);
    EXPECT_TRUE(s.warning.empty());
    const json back = json::parse(readFile(file));
    EXPECT_EQ(back["level"], "debug");
    EXPECT_EQ(back["extra"], json::array({1, 2}));
    EXPECT_EQ(back["sinks"], json::parse(R"({"file": {"rotate": [true, {"n": 2}]}})"));
    EXPECT_EQ(back.size(), 5u);
    // A value of the wrong type, nested, takes the default and is replaced by the value in use.
    std::ofstream(file) << R"({"level": "debug", "file_size": {"v": 3}})";
    EXPECT_EQ(qx::core::base::LogManager::readAndRewriteSettings(file.string()).fileSizeMb, 10u);
    EXPECT_EQ(json::parse(readFile(file))["file_size"], 10);
    EXPECT_EQ(directoryEntries(dir), std::vector<std::string>{"config.json"}) << "no new file left beside";
    fs::remove_all(dir);
}

TEST(LogSettings, FilesBeyondTheBoundsAreReplacedByTheSettingsInUse) {
    const fs::path dir = scratchDir("logbounds");
    const fs::path file = dir / "config.json";
    const std::string defaults =
        "{\n    \"async_enabled\": true,\n    \"file_size\": 10,\n    \"level\": \"info\"\n}\n";
    const struct {
        std::string text;
        const char* warning;
    } cases[] = {
        {nestedToDepth("level", 65), " is nested deeper than 64 levels, read as malformed"},
        {nestedValue("extra", 200000), " is nested deeper than 64 levels, read as malformed"},
        {std::string(200000, '[') + "{}", " is nested deeper than 64 levels, read as malformed"},
        {R"({"level": "debug"})" + std::string(1 << 20, ' '), " is larger than 1048576 bytes, read as malformed"}};
    for (const auto& c : cases) {
        std::ofstream(file) << c.text;
        const auto s = qx::core::base::LogManager::readAndRewriteSettings(file.string());
        EXPECT_EQ(s.level, spdlog::level::info) << c.text.substr(0, 60);
        EXPECT_EQ(s.warning, "Config file:" + file.string() + c.warning);
        EXPECT_EQ(readFile(file), defaults) << c.text.substr(0, 60);
    }
    EXPECT_EQ(directoryEntries(dir), std::vector<std::string>{"config.json"}) << "no new file left beside";
    fs::remove_all(dir);
}

TEST(LogSettings, AFailedRewriteLeavesTheOldFileWhole) {
    const fs::path dir = scratchDir("logfail");
    const fs::path file = dir / "config.json";
    const std::string old = R"({"level": "debug", "note": ")" + std::string(4000, 'n') + R"("})";
    std::ofstream(file) << old;
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // A child whose files may not grow past 100 bytes: the rewrite cannot be completed.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit {
            100, 100
        };
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const auto s = qx::core::base::LogManager::readAndRewriteSettings(file.string());
        ::_exit(s.level == spdlog::level::debug ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the settings are still read";
    EXPECT_EQ(readFile(file), old);
    EXPECT_EQ(directoryEntries(dir), std::vector<std::string>{"config.json"});

    // A successful rewrite replaces it and keeps its permission bits.
    EXPECT_EQ(qx::core::base::LogManager::readAndRewriteSettings(file.string()).level, spdlog::level::debug);
    EXPECT_EQ(json::parse(readFile(file))["note"], std::string(4000, 'n'));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_FALSE(qx::core::base::replaceFileContents((dir / "missing/config.json").string(), "{}"));
    fs::remove_all(dir);
}

TEST(LogDirectory, ProbeCreatesNestedDirectoriesAndRefusesTheImpossible) {
    const fs::path dir = scratchDir("probe");
    EXPECT_TRUE(qx::core::base::LogManager::checkDirWritable((dir / "a/b\\c").string()));
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_FALSE(fs::exists(dir / "a/b/c/qx_cam_sdk_tmp_test_231124.txt"));
    EXPECT_FALSE(qx::core::base::LogManager::checkDirWritable(""));
    // A file in the way of the directory cannot be created over, even by root.
    std::ofstream(dir / "file") << "x";
    EXPECT_FALSE(qx::core::base::LogManager::checkDirWritable((dir / "file/sub").string()));
    fs::remove_all(dir);
}

TEST(LogManagerSetup, UnwritableDirectoryTurnsLoggingOff) {
    const fs::path dir = scratchDir("unwritable");
    std::ofstream(dir / "blocker") << "x";
    qxtest::LogCapture capture;
    {
        qx::core::base::LogManager manager((dir / "blocker/log").string());
        EXPECT_FALSE(manager.isWritable());
        qxtest::LogLine line{};
        ASSERT_TRUE(capture.find("Dir:" + (dir / "blocker/log").string() + " is not writeable!", &line));
        EXPECT_EQ(line.level, spdlog::level::warn);
        capture.clear();
        spdlog::error("suppressed");
        EXPECT_EQ(capture.count("suppressed"), 0u);
    }
    spdlog::set_level(spdlog::level::trace);
    fs::remove_all(dir);
}

TEST(LogManagerSetup, BannerAtLevelOffAndAppEndAtShutdown) {
    const fs::path dir = scratchDir("banner");
    std::ofstream(dir / "config.json") << R"({"level": "off", "async_enabled": true, "file_size": 1})";
    auto previous = spdlog::default_logger();
    {
        qx::core::base::LogManager manager(dir.string());
        ASSERT_TRUE(manager.isWritable());
        spdlog::default_logger()->error("never written at level off");
    }
    // The process's own logger kept its worker: it takes the lines again.
    spdlog::set_default_logger(previous);
    const std::string text = readFile(dir / "rotating_log.txt");
    EXPECT_NE(text.find("[C] [t"), std::string::npos) << "pattern with level letter and thread";
    EXPECT_NE(text.find("-----Instructions-----"), std::string::npos);
    EXPECT_NE(text.find("app start"), std::string::npos);
    EXPECT_NE(text.find("log params: level=off, async_enabled=true, file_size=1M"), std::string::npos);
    EXPECT_NE(text.find("app end"), std::string::npos);
    EXPECT_EQ(text.find("never written"), std::string::npos);
    EXPECT_LT(text.find("app start"), text.find("app end"));
    fs::remove_all(dir);
}

// The library links the system's shared spdlog, so its registry and its default thread pool
// belong to the whole process. A pool set up there by other code, or a second log manager, must
// not take the pool from under the library's asynchronous logger while its threads write and
// flush: no line is lost and no flush throws.
TEST(LogManagerSetup, AnotherThreadPoolOrASecondManagerLeavesTheLoggerWhole) {
    const fs::path first = scratchDir("pool-first"), second = scratchDir("pool-second");
    for (const fs::path& d : {first, second})
        std::ofstream(d / "config.json") << R"({"level": "info", "async_enabled": true, "file_size": 8})";
    std::atomic<int> written{0};
    auto previous = spdlog::default_logger();
    {
        qx::core::base::LogManager manager(first.string());
        ASSERT_TRUE(manager.isWritable());
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            // Critical lines: flushed one by one, and still written after "app end", which
            // leaves the logger at level critical.
            for (int i = 0; i < 20000 && !stop.load(); ++i) {
                QX_LOG_CRITICAL("writer line {}", i);
                written.fetch_add(1);
                std::this_thread::yield();
            }
        });
        EXPECT_TRUE(qxtest::waitUntil([&] { return written.load() > 0; }, std::chrono::seconds(30)));
        spdlog::init_thread_pool(1024, 1);
        QX_LOG_INFO("after another pool");
        EXPECT_NO_THROW(spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& l) { l->flush(); }));
        {
            qx::core::base::LogManager rebuilt(second.string());
            ASSERT_TRUE(rebuilt.isWritable());
            QX_LOG_INFO("to the rebuilt manager");
        }
        stop = true;
        writer.join();
    }
    spdlog::set_default_logger(previous);
    const std::string a = readFile(first / "rotating_log.txt"), b = readFile(second / "rotating_log.txt");
    EXPECT_NE(a.find("after another pool"), std::string::npos);
    EXPECT_NE(b.find("to the rebuilt manager"), std::string::npos);
    auto count = [](const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find("writer line "); at != std::string::npos; at = text.find("writer line ", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(a) + count(b), size_t(written.load())) << "every line of the writer in one of the two files";
    fs::remove_all(first);
    fs::remove_all(second);
}

TEST(LogManagerSetup, ASettingsFileBeyondTheBoundsIsWarnedOfOnceInTheLog) {
    const fs::path dir = scratchDir("logwarn");
    std::ofstream(dir / "config.json") << R"({"level": "debug", "async_enabled": false, "x": )"
                                       << std::string(100, '[');
    {
        qx::core::base::LogManager manager(dir.string());
        ASSERT_TRUE(manager.isWritable());
    }
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("after", std::make_shared<spdlog::sinks::null_sink_mt>()));
    const std::string text = readFile(dir / "rotating_log.txt");
    const std::string warning = "[W] [t";
    const std::string line =
        "Config file:" + (dir / "config.json").string() + " is nested deeper than 64 levels, read as malformed";
    const size_t at = text.find(line);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find(line, at + 1), std::string::npos) << "one warning";
    EXPECT_NE(text.rfind(warning, at), std::string::npos);
    EXPECT_NE(text.find("log params: level=info, async_enabled=true, file_size=10M"), std::string::npos);
    EXPECT_EQ(json::parse(readFile(dir / "config.json")),
              json::parse(R"({"level": "info", "async_enabled": true, "file_size": 10})"));
    fs::remove_all(dir);
}

} // namespace
