// Register nodes: Register (raw bytes), IntReg, MaskedIntReg (LSB/MSB or Bit, read-modify-write
// on write), FloatReg (4 or 8 bytes), StringReg. RegisterNodeBase holds what they share: the
// address (sum of every <Address>, <pAddress>, inline <IntSwissKnife> and <pIndex> x
// Offset/pOffset; a named inline knife is a node of the map, found by its name), the length (<Length>/<pLength>), <pPort>, <AccessMode>, <Endianess>,
// <Sign>, and the register cache. The cache follows <Cachable> (NoCache, WriteThrough - the
// default -, WriteAround) and is keyed by the computed address, so a selector that moves the
// address never answers another address's bytes. A read fills a zero-filled buffer through
// the port; a failed port access leaves nothing in the cache and propagates its exception.
#pragma once
#include <memory>

#include "GenApi/FormulaNodes.h"
#include "GenApi/Node.h"

namespace QxGenApi::detail {

class PortNode;

class RegisterNodeBase : public Node, public IRegister {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIRegister; }
    ECachingMode GetCachingMode() const override { return m_cachable; }

    // IRegister (length must be GetLength())
    void Set(const uint8_t* buffer, int64_t length, bool verify = true) override;
    void Get(uint8_t* buffer, int64_t length, bool verify = false, bool ignoreCache = false) override;
    int64_t GetLength() override;
    int64_t GetAddress() override;

    // Hexadecimal text of the bytes, in address order.
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override;

    void invalidateCache() override { m_cache.clear(); }
    // Drops cache entries overlapping [address, address + length); true when one was dropped.
    bool dropOverlapping(int64_t address, int64_t length);

    // Largest register the engine reads or writes in one access (16 MiB).
    static constexpr int64_t kMaxLength = 16 * 1024 * 1024;

protected:
    EAccessMode ownAccessMode() const override;
    int64_t address() const;
    int64_t length() const;
    // Reads the register's `len` bytes (len == length()) through the cache unless ignoreCache.
    void readRaw(uint8_t* out, int64_t len, bool ignoreCache);
    // Writes the register's bytes through the port, then updates caches and queues callbacks.
    void writeRaw(const uint8_t* bytes, int64_t len);
    uint64_t decodeUnsigned(const uint8_t* bytes, int64_t len) const;
    void encodeUnsigned(uint64_t value, uint8_t* bytes, int64_t len) const;
    bool registerReadable() const { return m_registerAccess == RO || m_registerAccess == RW; }

    EEndianess m_endian = LittleEndian;
    ESign m_sign = Unsigned;
    ERepresentation m_representation = _UndefinedRepresentation;
    std::string m_unit;

private:
    struct IndexPart {
        NumberRef index;
        int64_t offset = 0;
        bool hasOffset = false;
        NumberRef pOffset;
    };
    struct CacheEntry {
        int64_t address;
        std::vector<uint8_t> bytes;
    };
    const CacheEntry* findCache(int64_t address, int64_t len) const;
    void storeCache(int64_t address, const uint8_t* bytes, int64_t len);

    std::vector<int64_t> m_addresses;
    std::vector<NumberRef> m_pAddresses;
    std::vector<std::unique_ptr<FormulaBinding>> m_knives;
    std::vector<IndexPart> m_indexes;
    NumberRef m_length;
    std::string m_portName;
    PortNode* m_port = nullptr;
    EAccessMode m_registerAccess = RO;
    ECachingMode m_cachable = WriteThrough;
    std::vector<CacheEntry> m_cache;
};

// <Register>: raw bytes.
class RegisterNode : public RegisterNodeBase {
public:
    using RegisterNodeBase::RegisterNodeBase;
};

// <IntReg>: an integer of 1 to 8 bytes, signed or unsigned, either byte order.
class IntRegNode : public RegisterNodeBase, public IInteger {
public:
    using RegisterNodeBase::RegisterNodeBase;
    void configure(const NodeDesc& desc) override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIInteger; }

    void SetValue(int64_t value, bool verify = true) override;
    int64_t GetValue(bool verify = false, bool ignoreCache = false) override;
    int64_t GetMin() override;
    int64_t GetMax() override;
    int64_t GetInc() override { return 1; }
    EIncMode GetIncMode() override { return fixedIncrement; }
    ERepresentation GetRepresentation() override;
    gcstring GetUnit() const override { return m_unit; }
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;

protected:
    // Bit field within the register value, in little-endian bit numbers; whole register by default.
    virtual void field(int& lowBit, int& width) const;
};

// <MaskedIntReg> (and each <StructEntry>): a bit field; writes read the register, merge, write.
class MaskedIntRegNode : public IntRegNode {
public:
    using IntRegNode::IntRegNode;
    void configure(const NodeDesc& desc) override;

protected:
    void field(int& lowBit, int& width) const override;

private:
    int m_lsb = 0;
    int m_msb = 0;
};

// <FloatReg>: an IEEE float of 4 or 8 bytes.
class FloatRegNode : public RegisterNodeBase, public IFloat {
public:
    using RegisterNodeBase::RegisterNodeBase;
    void configure(const NodeDesc& desc) override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIFloat; }

    void SetValue(double value, bool verify = true) override;
    double GetValue(bool verify = false, bool ignoreCache = false) override;
    double GetMin() override;
    double GetMax() override;
    bool HasInc() override { return false; }
    EIncMode GetIncMode() override { return noIncrement; }
    double GetInc() override;
    ERepresentation GetRepresentation() override {
        return m_representation == _UndefinedRepresentation ? PureNumber : m_representation;
    }
    gcstring GetUnit() const override { return m_unit; }
    EDisplayNotation GetDisplayNotation() const override { return m_notation; }
    int64_t GetDisplayPrecision() const override { return m_precision; }
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;

private:
    EDisplayNotation m_notation = fnAutomatic;
    int64_t m_precision = 6;
};

// <StringReg>: text of at most Length bytes, zero-padded; the value ends at the first NUL.
class StringRegNode : public RegisterNodeBase, public IString {
public:
    using RegisterNodeBase::RegisterNodeBase;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIString; }

    void SetValue(const gcstring& value, bool verify = true) override;
    gcstring GetValue(bool verify = false, bool ignoreCache = false) override;
    int64_t GetMaxLength() override { return GetLength(); }
    gcstring ToString(bool verify = false, bool ignoreCache = false) override { return GetValue(verify, ignoreCache); }
    void FromString(const gcstring& valueString, bool verify = true) override { SetValue(valueString, verify); }
};

} // namespace QxGenApi::detail
