// Once-per-process behaviour, checked in a fresh process in a scratch directory.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    ::pclose(p);
    return out;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

TEST(Process, FirstCallGoesToTheConsoleThenTheLogFileUntilAppEnd) {
    const fs::path dir = fs::temp_directory_path() / ("qxcam-proc-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string out = run("cd '" + dir.string() + "' && '" QX_PROCESS_PROBE "' 2>&1");
    EXPECT_NE(out.find("func:QX_GetConnectionStatus start"), std::string::npos) << out;
    EXPECT_EQ(countOf(out, "func:QX_GetConnectionStatus start"), 1u) << "only the first start line is on the console";
    EXPECT_NE(out.find("version 0x02010000"), std::string::npos);

    const std::string log = readFile(dir / "QxCamSdk-Log" / "rotating_log.txt");
    EXPECT_EQ(countOf(log, "SdkVersion: 0x02010000, built on "), 1u) << log;
    EXPECT_NE(log.find("[C] [t"), std::string::npos);
    EXPECT_NE(log.find("handle:0x10, func:QX_GetConnectionStatus end, spent:"), std::string::npos);
    EXPECT_NE(log.find("handle:0x20, func:QX_GetConnectionStatus end, spent:"), std::string::npos);
    EXPECT_NE(log.find("ms, ret:0x80000000"), std::string::npos);
    EXPECT_NE(log.find("func:QX_GetConnectionStatus start"), std::string::npos) << "the second call's start line";
    EXPECT_NE(log.find("app end"), std::string::npos);
    EXPECT_GT(log.rfind("app end"), log.rfind("func:QX_GetSdkVersion end"));
    EXPECT_TRUE(fs::exists(dir / "QxCamSdk-Log" / "config.json"));
    fs::remove_all(dir);
}

} // namespace
