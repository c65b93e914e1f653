#include "AravisLoader.h"

#include <dlfcn.h>

namespace qx::bench {

AravisLoader::AravisLoader() {
    m_lib = ::dlopen("libaravis-0.8.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!m_lib) {
        m_why = "libaravis-0.8.so.0 not found (Debian package libaravis-0.8-0)";
        return;
    }
    // g_object_unref is found through libaravis's own dependency on GObject.
    m_gcNew = reinterpret_cast<decltype(m_gcNew)>(::dlsym(m_lib, "arv_gc_new"));
    m_unref = reinterpret_cast<decltype(m_unref)>(::dlsym(m_lib, "g_object_unref"));
    if (!m_gcNew || !m_unref) {
        m_gcNew = nullptr;
        m_why = "libaravis-0.8.so.0 has no arv_gc_new or g_object_unref";
    }
}

AravisLoader::~AravisLoader() {
    if (m_lib) ::dlclose(m_lib);
}

bool AravisLoader::load(const std::string& xml) const {
    void* gc = m_gcNew(nullptr, xml.data(), xml.size());
    if (!gc) return false;
    m_unref(gc);
    return true;
}

} // namespace qx::bench
