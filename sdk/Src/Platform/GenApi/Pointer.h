// Typed node pointers in the GenApi style: CIntegerPtr p = nodeMap._GetNode("Width") holds the
// node's IInteger interface, or null when the node is missing or of another kind. Using a null
// pointer (p->GetValue()) throws LogicalErrorException "NULL pointer dereferenced", which is
// how a feature access by an unknown name fails.
#pragma once
#include "GenApi/Exceptions.h"
#include "GenApi/Interfaces.h"

namespace QxGenApi {

template <class T>
class CPointer {
public:
    CPointer() = default;
    CPointer(std::nullptr_t) {}
    template <class U>
    CPointer(U* p) : m_ptr(p ? dynamic_cast<T*>(p) : nullptr) {}
    template <class U>
    CPointer(const CPointer<U>& other) : CPointer(other.Get()) {}

    template <class U>
    CPointer& operator=(U* p) {
        m_ptr = p ? dynamic_cast<T*>(p) : nullptr;
        return *this;
    }

    T* operator->() const {
        if (!m_ptr) QX_GENAPI_THROW(LogicalErrorException, "NULL pointer dereferenced");
        return m_ptr;
    }
    T& operator*() const { return *operator->(); }
    T* Get() const { return m_ptr; }
    operator T*() const { return m_ptr; }
    bool IsValid() const { return m_ptr != nullptr; }
    explicit operator bool() const { return m_ptr != nullptr; }
    // The INode of the pointed-to node (null for a null pointer).
    INode* GetNode() const { return m_ptr ? dynamic_cast<INode*>(m_ptr) : nullptr; }

private:
    T* m_ptr = nullptr;
};

using CNodePtr = CPointer<INode>;
using CValuePtr = CPointer<IValue>;
using CIntegerPtr = CPointer<IInteger>;
using CFloatPtr = CPointer<IFloat>;
using CBooleanPtr = CPointer<IBoolean>;
using CCommandPtr = CPointer<ICommand>;
using CStringPtr = CPointer<IString>;
using CRegisterPtr = CPointer<IRegister>;
using CEnumerationPtr = CPointer<IEnumeration>;
using CEnumEntryPtr = CPointer<IEnumEntry>;
using CCategoryPtr = CPointer<ICategory>;
using CPortPtr = CPointer<IPort>;
using CSelectorPtr = CPointer<ISelector>;

// Access tests on possibly null nodes (false for null).
inline bool IsReadable(const IBase* p) { return p && IsReadable(p->GetAccessMode()); }
inline bool IsWritable(const IBase* p) { return p && IsWritable(p->GetAccessMode()); }
inline bool IsAvailable(const IBase* p) { return p && IsAvailable(p->GetAccessMode()); }
inline bool IsImplemented(const IBase* p) { return p && IsImplemented(p->GetAccessMode()); }
template <class T>
bool IsReadable(const CPointer<T>& p) {
    return IsReadable(static_cast<const IBase*>(p.Get()));
}
template <class T>
bool IsWritable(const CPointer<T>& p) {
    return IsWritable(static_cast<const IBase*>(p.Get()));
}
template <class T>
bool IsAvailable(const CPointer<T>& p) {
    return IsAvailable(static_cast<const IBase*>(p.Get()));
}
template <class T>
bool IsImplemented(const CPointer<T>& p) {
    return IsImplemented(static_cast<const IBase*>(p.Get()));
}

} // namespace QxGenApi
