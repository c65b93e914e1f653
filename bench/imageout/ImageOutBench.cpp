// Image output benchmark: conversion against memcpy, saving against libjpeg and memcpy + write,
// all in this process, interleaved round by round (BenchSupport.h), medians with their spread.
//
// Conversion: QX_ConvertPixelFormat's converter at 2448 x 2048 and 640 x 480, each round timing
// the conversion and a memcpy of the same source bytes; the figure is conversion / memcpy
// (goal for 16-bit mono to Mono8: 1.0 or less).
// Saving, a 2592 x 1944 Mono8 frame (5 MP) into files:
//   JPEG save (quality 90) / libjpeg compressing the same frame into a file (stdio destination,
//   scanline interface, all rows at once; goal 1.05 or less); also against libjpeg's raw-data
//   interface, for information;
//   BMP save / memcpy of the frame + writing the same BMP bytes with stdio (goal 1.1 or less);
//   PNG, TIFF and RAW save times and a Mono12 JPEG save, for information.
//
//     qx_imageout_bench [--rounds N] [--out DIR] [--only convert|save]
//     (files go to DIR, by default /dev/shm, so that the disk is not what is measured)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "imageout/ImageSaver.h"
#include "imageout/PixelConverter.h"

using namespace qx::imageout;

namespace fs = std::filesystem;
using namespace qxbench;

namespace {

struct Options {
    int rounds = 21;
    fs::path out;
    std::string only;
};

// A camera-like picture of 16-bit words, samples within `bits`, top line first.
std::vector<uint8_t> makeWords(int width, int height, unsigned bits) {
    const size_t n = size_t(width) * height;
    std::vector<uint8_t> src(2 * n);
    uint32_t noise = 12345;
    const uint32_t mask = (1u << bits) - 1;
    for (size_t i = 0; i < n; ++i) {
        noise = noise * 1103515245u + 12345u;
        const size_t x = i % size_t(width), y = i / size_t(width);
        const uint32_t s = uint32_t(((x + y) * mask / size_t(width + height) + (noise >> 28)) & mask);
        src[2 * i] = uint8_t(s);
        src[2 * i + 1] = uint8_t(s >> 8);
    }
    return src;
}

// Runs the named sides of one comparison `rounds` times, in a shuffled order each round, and
// returns each side's per-round seconds.
std::vector<std::vector<double>> interleave(int rounds, const std::vector<std::function<void()>>& sides) {
    std::vector<std::vector<double>> times(sides.size());
    std::vector<size_t> order(sides.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::mt19937 rng(7);
    for (auto& side : sides) side(); // warm-up: caches, page faults, file creation
    for (int r = 0; r < rounds; ++r) {
        std::shuffle(order.begin(), order.end(), rng);
        for (size_t i : order) times[i].push_back(timeSeconds(sides[i]));
    }
    return times;
}

std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) r.push_back(b[i] > 0 ? a[i] / b[i] : 0);
    return r;
}

void printRatio(const char* what, const std::vector<double>& a, const std::vector<double>& b, const char* goal) {
    std::printf("  %-44s %s%s\n", what, describe(summarize(ratios(a, b))).c_str(), goal);
}

void benchConversion(const Options& o) {
    struct Format {
        const char* name;
        uint32_t code;
        unsigned bits;
        bool target; // 16-bit words to Mono8: the goal applies
    };
    const Format formats[] = {
        {"Mono16", QX_PIXEL_MONO16, 16, true},
        {"Mono12", QX_PIXEL_MONO12, 12, true},
        {"Mono10", QX_PIXEL_MONO10, 10, true},
        {"Mono14", QX_PIXEL_MONO14, 14, true},
        {"Mono12Packed", QX_PIXEL_MONO12PACKED, 12, false},
        {"Mono8", QX_PIXEL_MONO8, 8, false},
    };
    PixelConverter* converter = PixelConverter::getConverterInstance();
    std::printf("\nConversion to Mono8: conversion time / memcpy time of the source bytes, per round\n");
    for (auto [w, h] : {std::pair<int, int>{2448, 2048}, {640, 480}}) {
        const size_t pixels = size_t(w) * h;
        for (const Format& f : formats) {
            std::vector<uint8_t> src = makeWords(w, h, f.bits == 8 ? 12 : f.bits);
            size_t srcBytes = 2 * pixels;
            if (f.code == QX_PIXEL_MONO12PACKED) srcBytes = pixels * 3 / 2;
            if (f.code == QX_PIXEL_MONO8) srcBytes = pixels;
            std::vector<uint8_t> dst(pixels, 1), copy(src.size(), 1);
            ConvertParam p{};
            p.nWidth = uint16_t(w);
            p.nHeight = uint16_t(h);
            p.enSrcPixelType = f.code;
            p.pSrcData = src.data();
            p.nSrcDataLen = uint32_t(src.size());
            p.enDstPixelType = QX_PIXEL_MONO8;
            p.nDstDataSize = uint32_t(pixels);
            p.pDstData = dst.data();
            // Each timed side repeats its work to some 20 MB of source, above the clock's grain.
            const int reps = std::max<int>(1, int(20e6 / double(srcBytes)));
            bool failed = false;
            auto times = interleave(o.rounds, {[&] {
                                                   for (int i = 0; i < reps; ++i)
                                                       failed |= converter->convertPixels(p) != QX_OK;
                                               },
                                               [&] {
                                                   for (int i = 0; i < reps; ++i) {
                                                       std::memcpy(copy.data(), src.data(), srcBytes);
                                                       asm volatile("" : : "r"(copy.data()) : "memory");
                                                   }
                                               }});
            if (failed) std::printf("  %s: conversion FAILED\n", f.name);
            char what[96];
            std::snprintf(what, sizeof what, "%dx%d %s -> Mono8 (%.3f ms / %.3f ms)", w, h, f.name,
                          summarize(times[0]).median * 1e3 / reps, summarize(times[1]).median * 1e3 / reps);
            printRatio(what, times[0], times[1], f.target ? "   goal <= 1.0" : "");
        }
    }
}

// The bytes of the BMP file the saver writes for an 8-bit grey picture: header, grey palette,
// then the rows bottom line first (the width here is a multiple of 4: no row padding).
std::vector<uint8_t> bmpHeader(int w, int h) {
    std::vector<uint8_t> head(54 + 1024, 0);
    auto le32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) head[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    const uint32_t image = uint32_t(w) * uint32_t(h);
    head[0] = 'B';
    head[1] = 'M';
    le32(2, 1078 + image);
    le32(10, 1078);
    le32(14, 40);
    le32(18, uint32_t(w));
    le32(22, uint32_t(h));
    head[26] = 1;
    head[28] = 8;
    le32(34, image);
    le32(38, 3780);
    le32(42, 3780);
    le32(46, 256);
    for (int i = 0; i < 256; ++i) head[54 + 4 * i] = head[55 + 4 * i] = head[56 + 4 * i] = uint8_t(i);
    return head;
}

void benchSaves(const Options& o, const fs::path& dir) {
    const int w = 2592, h = 1944;
    const std::vector<uint8_t> frame = makeGreyFrames(w, h, 1)[0];
    std::vector<uint8_t> words(frame.size() * 2);
    for (size_t i = 0; i < frame.size(); ++i) {
        words[2 * i] = uint8_t(frame[i] << 4);
        words[2 * i + 1] = uint8_t(frame[i] >> 4);
    }
    ImageSaver saver;
    auto save = [&](int type, uint32_t format, const std::vector<uint8_t>& data, const char* name) {
        SaveFileParam p{};
        p.nPixelFormat = format;
        p.pData = data.data();
        p.nDataLen = uint32_t(data.size());
        p.nWidth = uint16_t(w);
        p.nHeight = uint16_t(h);
        p.enImageType = type;
        p.nQuality = 90;
        std::snprintf(p.pImagePath, sizeof p.pImagePath, "%s", (dir / name).c_str());
        if (saver.saveNormalFormat(p) != QX_OK) std::printf("  save %s FAILED\n", name);
    };
    LibjpegGrey libjpeg;
    auto libjpegFile = [&](bool raw, const char* name) {
        FILE* f = std::fopen((dir / name).c_str(), "wb");
        if (!f) return;
        libjpeg.encode(frame.data(), w, h, 90, raw, f);
        std::fclose(f);
    };
    const std::vector<uint8_t> head = bmpHeader(w, h);
    std::vector<uint8_t> rows(frame.size());
    auto memcpyAndWrite = [&] {
        // Stored rows run bottom-up: the copy turns the picture as it goes, as a BMP needs.
        for (int y = 0; y < h; ++y) std::memcpy(&rows[size_t(h - 1 - y) * w], &frame[size_t(y) * w], size_t(w));
        FILE* f = std::fopen((dir / "reference.bmp").c_str(), "wb");
        if (!f) return;
        std::fwrite(head.data(), 1, head.size(), f);
        std::fwrite(rows.data(), 1, rows.size(), f);
        std::fclose(f);
    };

    std::printf("\nSaving a %dx%d Mono8 frame (files in %s): time / reference time, per round\n", w, h, dir.c_str());
    auto times = interleave(o.rounds, {
                                          [&] { save(QX_IMAGE_JPG, QX_PIXEL_MONO8, frame, "save.jpg"); },
                                          [&] { libjpegFile(false, "scanlines.jpg"); },
                                          [&] { libjpegFile(true, "raw.jpg"); },
                                          [&] { save(QX_IMAGE_BMP, QX_PIXEL_MONO8, frame, "save.bmp"); },
                                          memcpyAndWrite,
                                          [&] { save(QX_IMAGE_JPG, QX_PIXEL_MONO12, words, "save12.jpg"); },
                                          [&] { save(QX_IMAGE_PNG, QX_PIXEL_MONO8, frame, "save.png"); },
                                          [&] { save(QX_IMAGE_TIFF, QX_PIXEL_MONO8, frame, "save.tif"); },
                                          [&] { save(QX_IMAGE_RAW, QX_PIXEL_MONO8, frame, "save.raw"); },
                                      });
    printRatio("JPEG save / libjpeg scanlines into a file", times[0], times[1], "   goal <= 1.05");
    printRatio("JPEG save / libjpeg raw data into a file", times[0], times[2], "   (information)");
    printRatio("BMP save / memcpy + write of the same bytes", times[3], times[4], "   goal <= 1.1");
    printRatio("Mono12 JPEG save / libjpeg scanlines (grey)", times[5], times[1], "   (information)");
    const char* names[] = {"JPEG save",        "libjpeg scanlines", "libjpeg raw data", "BMP save", "memcpy + write",
                           "Mono12 JPEG save", "PNG save",          "TIFF save",        "RAW save"};
    std::printf("  median times, ms:");
    for (size_t i = 0; i < times.size(); ++i)
        std::printf("%s %s %.2f", i ? "," : "", names[i], summarize(times[i]).median * 1e3);
    std::printf("\n");
    const bool same = [&] {
        FILE* a = std::fopen((dir / "save.bmp").c_str(), "rb");
        FILE* b = std::fopen((dir / "reference.bmp").c_str(), "rb");
        bool equal = a && b;
        while (equal) {
            const int ca = std::fgetc(a), cb = std::fgetc(b);
            equal = ca == cb;
            if (ca == EOF || cb == EOF) break;
        }
        if (a) std::fclose(a);
        if (b) std::fclose(b);
        return equal;
    }();
    std::printf("  the reference BMP is byte for byte the saved one: %s\n", same ? "yes" : "NO");
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            o.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--out" && i + 1 < argc) {
            o.out = argv[++i];
        } else if (a == "--only" && i + 1 < argc) {
            o.only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--out DIR] [--only convert|save]\n", argv[0]);
            std::exit(2);
        }
    }
    if (o.out.empty()) o.out = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return o;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::printf("image output benchmark: %d interleaved rounds, medians with interquartile range and range\n",
                o.rounds);
    if (o.only.empty() || o.only == "convert") benchConversion(o);
    if (o.only.empty() || o.only == "save") {
        const fs::path dir = o.out / ("qx-imageout-bench-" + std::to_string(getpid()));
        fs::create_directories(dir);
        benchSaves(o, dir);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return 0;
}
