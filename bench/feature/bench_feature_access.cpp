// What a node access costs at each layer, over the same memory-backed test camera:
//   Engine*   the node-map engine alone, its port forwarding to the camera's readMemory and
//             writeMemory (what MyIPort does);
//   Feature*  FeatureBase's typed operation (node-map lock, port status, type check, record);
//   Export*   the exported QX_XML_ function: call frame, handle lookup under its HandleLock,
//             and the start and end lines, logged at info to a file (as the library's own log
//             does by default) or with logging off.
// "Cached" reads an IntReg the engine caches (no register access once read); "Uncached" reads
// the same kind of IntReg declared NoCache (one register access per call). The engine cases do
// the engine calls getIntValue makes (value, maximum, minimum, increment, representation), so
// Feature minus Engine is FeatureBase's own frame, Export with logging off minus Feature the
// export's call frame, and Export to a file minus Export without logging the two log lines.
#include "core/api/DeviceProxy.h"
#include "feature/FeatureBase.h"
#include "LibrarySetup.h"
#include "feature/MyIPort.h"
#include "TestDevice.h"

#include <benchmark/benchmark.h>

#include <memory>

using namespace qx::core::api;

using namespace qx::feature;

namespace {

const char* const kXml = R"(<RegisterDescription ModelName="Bench" VendorName="Qx" StandardNameSpace="None"
  SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1"
  MinorVersion="0" SubMinorVersion="0" ProductGuid="0" VersionGuid="0">
<Category Name="Root"><pFeature>Cached</pFeature><pFeature>Counter</pFeature></Category>
<IntReg Name="Cached"><Address>0x100</Address><Length>4</Length><AccessMode>RW</AccessMode>
  <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
<IntReg Name="Counter"><Address>0x104</Address><Length>4</Length><AccessMode>RW</AccessMode>
  <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
<Port Name="Device"/>
</RegisterDescription>)";

// One connected test camera behind the exports.
struct Library {
    Library() {
        qxtest::prepareLibraryInTempDir();
        transport.options.xml = kXml;
        info = qxtest::makeUsb3Info("Bench", "path", 0);
        QX_CreateDevice(&handle, &info);
        dev = transport.device(handle);
        dev->setU32Be(0x100, 640);
        dev->setU32Be(0x104, 7);
        QX_ConnectDevice(handle, 1);
        feature = static_cast<DeviceProxy*>(handle)->getFeature();
    }
    qxtest::TestTransport transport;
    DeviceInfo info{};
    QX_DEV_HANDLE handle = nullptr;
    qxtest::TestDevice* dev = nullptr;
    FeatureBase* feature = nullptr;
};

Library& library() {
    static Library lib;
    return lib;
}

// The engine alone over the same camera, with a port like MyIPort's.
struct Engine {
    Engine() : ref("Device") {
        Library& lib = library();
        auto read = [&lib](void* b, int64_t a, int64_t n, int32_t t) {
            const QX_STATUS s = lib.dev->readMemory(b, a, n, t);
            if (s) throw QxGenApi::PortException(s, "read");
        };
        auto write = [&lib](void* b, int64_t a, int64_t n, int32_t t) {
            const QX_STATUS s = lib.dev->writeMemory(b, a, n, t);
            if (s) throw QxGenApi::PortException(s, "write");
        };
        port = std::make_unique<MyIPort>(QX_PORT_DEVICE, read, write);
        ref._LoadXMLFromString(kXml);
        ref._Connect(port.get());
        cached = ref._GetNode("Cached");
        counter = ref._GetNode("Counter");
    }
    QxGenApi::CNodeMapRef ref;
    std::unique_ptr<MyIPort> port;
    QxGenApi::CIntegerPtr cached;
    QxGenApi::CIntegerPtr counter;
};

Engine& engine() {
    static Engine e;
    return e;
}

// The engine calls of getIntValue.
void fillRecord(QxGenApi::CIntegerPtr& p, IntValueInfo& v) {
    v.nValue = p->GetValue(false, false);
    v.nMax = p->GetMax();
    v.nMin = p->GetMin();
    v.nInc = p->GetInc();
    v.nRepresentation = static_cast<int32_t>(p->GetRepresentation());
}

void BM_EngineGetCached(benchmark::State& state) {
    Engine& e = engine();
    IntValueInfo v{};
    for (auto _ : state) {
        fillRecord(e.cached, v);
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineGetCached);

void BM_EngineGetUncached(benchmark::State& state) {
    Engine& e = engine();
    IntValueInfo v{};
    for (auto _ : state) {
        fillRecord(e.counter, v);
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineGetUncached);

void BM_EngineSet(benchmark::State& state) {
    Engine& e = engine();
    int64_t v = 640;
    for (auto _ : state) {
        e.cached->SetValue(v, true);
        v = v == 640 ? 648 : 640;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineSet);

void BM_FeatureGetCached(benchmark::State& state) {
    Library& lib = library();
    qxtest::useLogger(spdlog::level::off, nullptr);
    IntValueInfo v{};
    for (auto _ : state) benchmark::DoNotOptimize(lib.feature->getIntValue("Cached", &v));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FeatureGetCached);

void BM_FeatureGetUncached(benchmark::State& state) {
    Library& lib = library();
    qxtest::useLogger(spdlog::level::off, nullptr);
    IntValueInfo v{};
    for (auto _ : state) benchmark::DoNotOptimize(lib.feature->getIntValue("Counter", &v));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FeatureGetUncached);

void BM_FeatureSet(benchmark::State& state) {
    Library& lib = library();
    qxtest::useLogger(spdlog::level::off, nullptr);
    int64_t v = 640;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lib.feature->setIntValue("Cached", v));
        v = v == 640 ? 648 : 640;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FeatureSet);

// state.range(0): 1 logs at info to a file, 0 logs nothing.
void BM_ExportGetCached(benchmark::State& state) {
    Library& lib = library();
    const bool toFile = state.range(0) != 0;
    qxtest::useLogger(toFile ? spdlog::level::info : spdlog::level::off, toFile ? "bench_feature_log.txt" : nullptr);
    IntValueInfo v{};
    for (auto _ : state) benchmark::DoNotOptimize(QX_XML_GetIntValue(lib.handle, "Cached", &v));
    state.SetItemsProcessed(state.iterations());
    spdlog::default_logger()->flush();
}
BENCHMARK(BM_ExportGetCached)->ArgName("logToFile")->Arg(0)->Arg(1);

void BM_ExportGetUncached(benchmark::State& state) {
    Library& lib = library();
    const bool toFile = state.range(0) != 0;
    qxtest::useLogger(toFile ? spdlog::level::info : spdlog::level::off, toFile ? "bench_feature_log.txt" : nullptr);
    IntValueInfo v{};
    for (auto _ : state) benchmark::DoNotOptimize(QX_XML_GetIntValue(lib.handle, "Counter", &v));
    state.SetItemsProcessed(state.iterations());
    spdlog::default_logger()->flush();
}
BENCHMARK(BM_ExportGetUncached)->ArgName("logToFile")->Arg(0)->Arg(1);

void BM_ExportSet(benchmark::State& state) {
    Library& lib = library();
    const bool toFile = state.range(0) != 0;
    qxtest::useLogger(toFile ? spdlog::level::info : spdlog::level::off, toFile ? "bench_feature_log.txt" : nullptr);
    int64_t v = 640;
    for (auto _ : state) {
        benchmark::DoNotOptimize(QX_XML_SetIntValue(lib.handle, "Cached", v));
        v = v == 640 ? 648 : 640;
    }
    state.SetItemsProcessed(state.iterations());
    spdlog::default_logger()->flush();
}
BENCHMARK(BM_ExportSet)->ArgName("logToFile")->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
