// Benchmarks of the QxGenApi engine. Run: build/bench/genapi/qx_genapi_bench
//   BM_LoadAravisFakeCamera   parse + build the aravis fake camera file (skipped when absent)
//   BM_LoadSynthetic5000      parse + build a generated file with 5,000 features
//   BM_IntegerReadCached      Integer -> IntReg read served by the register cache
//   BM_IntegerReadUncached    the same read with IgnoreCache (one port read each)
//   BM_FormulaEvalInt/Float   compiled formula evaluations with three variables
//   BM_SwissKnifeNodeRead     an IntSwissKnife node over three cached registers
//   BM_LoadBesideAravis/<file> the engine and aravis's loader (arv_gc_new) load the same file in
//                             turn; counters: the median time of each (qx_ms, aravis_ms) and
//                             qx_per_aravis, their ratio. Files: the aravis fake camera's, the
//                             5,000-feature one, a generated file of 194 StructRegs and a generated
//                             thermal camera's; QX_GENAPI_BENCH_XML=a.xml:b.xml adds files of your
//                             own. QX_GENAPI_BENCH_DUMP=dir writes the generated files there.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "AravisLoader.h"
#include "ArvFakeCamera.h"
#include "GeneratedDescriptions.h"
#include "GenApi/Formula.h"
#include "GenApi/GenApi.h"
#include "MemoryPort.h"

using namespace QxGenApi;

namespace {

std::string syntheticXml(int features) {
    std::string body;
    body.reserve(static_cast<size_t>(features) * 400);
    body += "<Category Name=\"Root\" NameSpace=\"Standard\">";
    for (int c = 0; c < features / 100; ++c) body += "<pFeature>Cat" + std::to_string(c) + "</pFeature>";
    body += "</Category>\n";
    for (int c = 0; c < features / 100; ++c) {
        body += "<Category Name=\"Cat" + std::to_string(c) + "\">";
        for (int i = c * 100; i < (c + 1) * 100; ++i) body += "<pFeature>F" + std::to_string(i) + "</pFeature>";
        body += "</Category>\n";
    }
    body += "<Integer Name=\"Locked\"><Value>0</Value></Integer>\n";
    for (int i = 0; i < features; ++i) {
        std::string n = std::to_string(i);
        std::string addr = std::to_string(0x1000 + 4 * i);
        switch (i % 4) {
        case 0:
        case 1:
            body += "<Integer Name=\"F" + n + "\"><ToolTip>Feature " + n + "</ToolTip><pValue>F" + n +
                    "Reg</pValue><Min>0</Min><Max>65535</Max><pIsLocked>Locked</pIsLocked></Integer>\n"
                    "<IntReg Name=\"F" +
                    n + "Reg\"><Address>" + addr +
                    "</Address><Length>4</Length><AccessMode>RW</AccessMode>"
                    "<pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>\n";
            break;
        case 2:
            body += "<Enumeration Name=\"F" + n +
                    "\"><EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry>"
                    "<EnumEntry Name=\"On\"><Value>1</Value></EnumEntry><pValue>F" +
                    n +
                    "Reg</pValue></Enumeration>\n"
                    "<IntReg Name=\"F" +
                    n + "Reg\"><Address>" + addr +
                    "</Address><Length>4</Length><AccessMode>RW</AccessMode>"
                    "<pPort>Device</pPort></IntReg>\n";
            break;
        default:
            body += "<IntSwissKnife Name=\"F" + n + "\"><pVariable Name=\"A\">F" + std::to_string(i - 3) +
                    "</pVariable><pVariable Name=\"B\">F" + std::to_string(i - 2) +
                    "</pVariable>"
                    "<Formula>(A * 2 + B) &amp; 0xFFFF</Formula></IntSwissKnife>\n";
            break;
        }
    }
    return "<?xml version=\"1.0\"?>\n<RegisterDescription ModelName=\"Synthetic\" VendorName=\"Qx\" "
           "SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\" MajorVersion=\"1\" "
           "MinorVersion=\"0\" SubMinorVersion=\"0\" ProductGuid=\"0\" VersionGuid=\"0\" StandardNameSpace=\"None\" "
           "xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n" +
           body + "<Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
}

void loadLoop(benchmark::State& state, const std::string& xml) {
    for (auto _ : state) {
        CNodeMapFactory factory(ContentType_Xml, xml.data(), xml.size());
        std::unique_ptr<INodeMap> map(factory.CreateNodeMap("Device"));
        benchmark::DoNotOptimize(map.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(xml.size()));
}

void BM_LoadAravisFakeCamera(benchmark::State& state) {
    std::string why;
    static const auto xml = qx::test::arvFakeCameraXml(&why);
    if (!xml) {
        state.SkipWithError(("aravis fake camera XML not available: " + why).c_str());
        for (auto _ : state) {
        }
        return;
    }
    loadLoop(state, *xml);
}
BENCHMARK(BM_LoadAravisFakeCamera)->Unit(benchmark::kMicrosecond);

void BM_LoadSynthetic5000(benchmark::State& state) {
    static const std::string xml = syntheticXml(5000);
    loadLoop(state, xml);
    state.counters["features"] = 5000;
}
BENCHMARK(BM_LoadSynthetic5000)->Unit(benchmark::kMillisecond);

struct Loaded {
    qx::test::MemoryPort port{0x10000};
    CNodeMapRef ref;
    Loaded() {
        qx::test::loadNodeMap(ref, syntheticXml(400), port);
        port.setRecording(false);
    }
};

void BM_IntegerReadCached(benchmark::State& state) {
    Loaded l;
    CIntegerPtr f = l.ref._GetNode("F1");
    f->GetValue();
    for (auto _ : state) benchmark::DoNotOptimize(f->GetValue());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntegerReadCached);

void BM_IntegerReadUncached(benchmark::State& state) {
    Loaded l;
    CIntegerPtr f = l.ref._GetNode("F1");
    for (auto _ : state) benchmark::DoNotOptimize(f->GetValue(false, true));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntegerReadUncached);

struct Vars : detail::VariableReader {
    int64_t v[3] = {640, 480, 0x01100007};
    int64_t readInt(int s) override { return v[s]; }
    double readFloat(int s) override { return static_cast<double>(v[s]); }
};

void BM_FormulaEvalInt(benchmark::State& state) {
    detail::Formula f;
    f.addVariable("W");
    f.addVariable("H");
    f.addVariable("PF");
    f.compile("W * H * ((PF>>16)&0xFF) / 8 + (W > 1000 ? 1 : 0)");
    Vars vars;
    for (auto _ : state) benchmark::DoNotOptimize(f.evalInt(vars));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormulaEvalInt);

void BM_FormulaEvalFloat(benchmark::State& state) {
    detail::Formula f;
    f.addVariable("W");
    f.addVariable("H");
    f.addVariable("PF");
    f.compile("SQRT(W*W + H*H) / 1000000 * ROUND(PF / 3, 2)");
    Vars vars;
    for (auto _ : state) benchmark::DoNotOptimize(f.evalFloat(vars));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormulaEvalFloat);

void BM_SwissKnifeNodeRead(benchmark::State& state) {
    Loaded l;
    CIntegerPtr k = l.ref._GetNode("F3");
    k->GetValue();
    for (auto _ : state) benchmark::DoNotOptimize(k->GetValue());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SwissKnifeNodeRead);

double medianMs(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Alternates the two loaders (which goes first too), so both see the same load of the machine.
void loadBesideAravis(benchmark::State& state, const std::string& xml) {
    static const qx::bench::AravisLoader aravis;
    if (!aravis.available()) {
        state.SkipWithError(aravis.why().c_str());
        for (auto _ : state) {
        }
        return;
    }
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    std::vector<double> qx, arv;
    bool arvFirst = false;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const auto start = Clock::now();
            if ((turn == 0) == arvFirst) {
                if (!aravis.load(xml)) {
                    state.SkipWithError("aravis refused the file");
                    break;
                }
                arv.push_back(ms(Clock::now() - start));
            } else {
                CNodeMapFactory factory(ContentType_Xml, xml.data(), xml.size());
                std::unique_ptr<INodeMap> map(factory.CreateNodeMap("Device"));
                benchmark::DoNotOptimize(map.get());
                map.reset();
                qx.push_back(ms(Clock::now() - start));
            }
        }
        arvFirst = !arvFirst;
    }
    const double q = medianMs(qx), a = medianMs(arv);
    state.counters["qx_ms"] = q;
    state.counters["aravis_ms"] = a;
    state.counters["qx_per_aravis"] = a > 0 ? q / a : 0;
    state.counters["KB"] = static_cast<double>(xml.size()) / 1000.0;
}

std::vector<std::pair<std::string, std::string>> sideBySideFiles() {
    std::vector<std::pair<std::string, std::string>> files;
    if (auto arv = qx::test::arvFakeCameraXml()) files.emplace_back("aravis-fake-camera", *arv);
    files.emplace_back("synthetic-5000", syntheticXml(5000));
    files.emplace_back("structreg-heavy-194", qx::bench::StructRegHeavyXml(194));
    files.emplace_back("thermal-like", qx::bench::ThermalLikeXml());
    if (const char* dump = std::getenv("QX_GENAPI_BENCH_DUMP")) {
        for (const auto& f : files)
            std::ofstream(std::string(dump) + "/" + f.first + ".xml", std::ios::binary) << f.second;
    }
    if (const char* list = std::getenv("QX_GENAPI_BENCH_XML")) {
        std::istringstream paths(list);
        std::string path;
        while (std::getline(paths, path, ':')) {
            std::ifstream in(path, std::ios::binary);
            if (!in) continue;
            std::ostringstream text;
            text << in.rdbuf();
            files.emplace_back(path.substr(path.find_last_of('/') + 1), text.str());
        }
    }
    return files;
}

} // namespace

int main(int argc, char** argv) {
    for (auto& file : sideBySideFiles()) {
        benchmark::RegisterBenchmark(
            ("BM_LoadBesideAravis/" + file.first).c_str(),
            [xml = std::move(file.second)](benchmark::State& state) { loadBesideAravis(state, xml); })
            ->Unit(benchmark::kMillisecond)
            ->MinTime(1.0);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
