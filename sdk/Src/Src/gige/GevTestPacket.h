// The test-packet payload pattern: a 16-bit LFSR that starts at 0xFFFF; each payload byte is
// the state's low 8 bits, after which the state becomes (state >> 1) ^ 0x8016 when its lowest
// bit was 1, else state >> 1. Shared by the library's check and the test device's generator.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace qx::gige {

constexpr uint16_t kLfsrSeed = 0xFFFF;
constexpr int kLfsrReportedMismatches = 9;

uint16_t lfsrNext(uint16_t state);
// Fills `count` bytes with the pattern from its start.
void lfsrFill(uint8_t* out, size_t count);
// Counts the bytes that break the pattern; the first kLfsrReportedMismatches go to `report`
// with their 1-based position.
int lfsrMismatches(const uint8_t* data, size_t count,
                   const std::function<void(size_t position, uint8_t expected, uint8_t got)>& report);

// The MTU of the adapter that owns an address (0: unknown); the system's by default, tests
// may put their own in (nullptr restores the system's).
using GevMtuProvider = uint32_t (*)(uint32_t adapterIp);
void gevSetMtuProvider(GevMtuProvider provider);
uint32_t gevAdapterMtu(uint32_t adapterIp);

} // namespace qx::gige
