// aravis's GenICam loader, an independent peer, run beside the engine in the load benchmarks:
// libaravis-0.8 (Debian package libaravis-0.8-0, installed with aravis-tools) is opened at run
// time and its arv_gc_new builds its node tree from the same text. No aravis header is needed.
#pragma once
#include <cstddef>
#include <string>

namespace qx::bench {

class AravisLoader {
public:
    AravisLoader();
    ~AravisLoader();
    AravisLoader(const AravisLoader&) = delete;
    AravisLoader& operator=(const AravisLoader&) = delete;

    bool available() const { return m_gcNew != nullptr; }
    const std::string& why() const { return m_why; }
    // Builds aravis's node tree of the text and frees it; false when aravis refused the text.
    bool load(const std::string& xml) const;

private:
    void* m_lib = nullptr;
    void* (*m_gcNew)(void* device, const void* xml, size_t size) = nullptr;
    void (*m_unref)(void* object) = nullptr;
    std::string m_why;
};

} // namespace qx::bench
