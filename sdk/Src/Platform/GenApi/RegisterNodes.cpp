#include "GenApi/RegisterNodes.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <limits>

#include "GenApi/FloatNode.h"
#include "GenApi/IntegerNode.h"
#include "GenApi/NodeMap.h"
#include "GenApi/PortNode.h"
#include "Sys/ByteOrder.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

namespace {

constexpr size_t kMaxCacheEntries = 64;

EAccessMode parseRegisterAccess(const std::string& t) {
    if (t == "RW"sv) return RW;
    if (t == "WO"sv) return WO;
    if (t == "RO"sv) return RO;
    if (t == "NA"sv) return NA;
    if (t == "NI"sv) return NI;
    return RO;
}

uint64_t fieldMask(int width) { return width >= 64 ? ~uint64_t(0) : ((uint64_t(1) << width) - 1); }

} // namespace

// ---------------------------------------------------------------------------------------------
// RegisterNodeBase

void RegisterNodeBase::configure(const NodeDesc& d) {
    Node::configure(d);
    for (const Prop& p : d.props) {
        const std::string& n = p.name;
        if (n == "Address"sv) {
            m_addresses.push_back(ParseIntLiteral(p.text, d.name, "Address"));
        } else if (n == "pAddress"sv) {
            m_pAddresses.emplace_back();
            m_pAddresses.back().setName(p.text, "pAddress");
        } else if (n == "IntSwissKnife"sv && p.attr("Name") && !p.attr("Name")->empty()) {
            // A named knife is a node of the map like any other; the register reads it as an address part.
            NodeDesc kd;
            kd.kind = n;
            kd.name = *p.attr("Name");
            if (const std::string* ns = p.attr("NameSpace")) kd.nameSpace = *ns;
            kd.props = p.children;
            kd.offset = d.offset;
            map().adoptEmbedded(kd);
            m_pAddresses.emplace_back();
            m_pAddresses.back().setName(kd.name, "IntSwissKnife");
        } else if (n == "IntSwissKnife"sv) {
            auto knife = std::make_unique<FormulaBinding>();
            knife->configure(p.children, d.name);
            if (const Prop* f = p.first("Formula")) knife->setFormulaText(f->text);
            m_knives.push_back(std::move(knife));
        } else if (n == "pIndex"sv) {
            IndexPart part;
            part.index.setName(p.text, "pIndex");
            if (const std::string* off = p.attr("Offset")) {
                part.offset = ParseIntLiteral(*off, d.name, "Offset");
                part.hasOffset = true;
            } else if (const std::string* poff = p.attr("pOffset")) {
                part.pOffset.setName(*poff, "pOffset");
            }
            m_indexes.push_back(std::move(part));
        } else if (n == "Length"sv) {
            int64_t len = ParseIntLiteral(p.text, d.name, "Length");
            if (len <= 0 || len > kMaxLength) {
                QX_GENAPI_THROW(RuntimeException, "node '%s': Length %" PRId64 " is out of range (1..%" PRId64 ")",
                                d.name.c_str(), len, kMaxLength);
            }
            m_length.setLiteral(len);
        } else if (n == "pLength"sv) {
            m_length.setName(p.text, "pLength");
        } else if (n == "pPort"sv) {
            m_portName = p.text;
        } else if (n == "AccessMode"sv) {
            m_registerAccess = parseRegisterAccess(p.text);
        } else if (n == "Cachable"sv) {
            if (p.text == "NoCache"sv) m_cachable = NoCache;
            else if (p.text == "WriteAround"sv) m_cachable = WriteAround;
            else m_cachable = WriteThrough;
        } else if (n == "Endianess"sv) {
            m_endian = p.text == "BigEndian"sv ? BigEndian : LittleEndian;
        } else if (n == "Sign"sv) {
            m_sign = p.text == "Signed"sv ? Signed : Unsigned;
        } else if (n == "Representation"sv) {
            m_representation = ParseRepresentation(p.text);
        } else if (n == "Unit"sv) {
            m_unit = p.text;
        }
    }
    if (m_portName.empty()) QX_GENAPI_THROW(RuntimeException, "node '%s': register without pPort", d.name.c_str());
    if (!m_length.isSet()) QX_GENAPI_THROW(RuntimeException, "node '%s': register without Length", d.name.c_str());
}

void RegisterNodeBase::link() {
    Node::link();
    for (auto& a : m_pAddresses) a.resolve(*this, Edge::Read);
    for (auto& k : m_knives) k->link(*this);
    for (auto& i : m_indexes) {
        i.index.resolve(*this, Edge::Read);
        i.pOffset.resolve(*this, Edge::Read);
    }
    m_length.resolve(*this, Edge::Read);
    Node* p = resolveLink(m_portName, "pPort", Edge::Port);
    m_port = dynamic_cast<PortNode*>(p);
    if (!m_port) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': pPort '%s' is a %s node, not a Port", name().c_str(),
                        m_portName.c_str(), p->kind().c_str());
    }
    map().registerOnPort(m_port, this);
}

EAccessMode RegisterNodeBase::ownAccessMode() const {
    return CombineAccessMode(m_registerAccess, m_port->GetAccessMode());
}

int64_t RegisterNodeBase::address() const {
    uint64_t a = 0;
    for (int64_t v : m_addresses) a += static_cast<uint64_t>(v);
    for (const auto& p : m_pAddresses) a += static_cast<uint64_t>(p.getInt());
    for (const auto& k : m_knives) a += static_cast<uint64_t>(k->evalInt(false));
    for (const auto& i : m_indexes) {
        int64_t idx = i.index.getInt();
        int64_t off = i.hasOffset ? i.offset : (i.pOffset.isSet() ? i.pOffset.getInt() : length());
        a += static_cast<uint64_t>(idx) * static_cast<uint64_t>(off);
    }
    return static_cast<int64_t>(a);
}

int64_t RegisterNodeBase::length() const {
    int64_t len = m_length.getInt();
    if (len <= 0 || len > kMaxLength) {
        QX_GENAPI_THROW(PropertyException, "Node '%s': length %" PRId64 " is out of range", name().c_str(), len);
    }
    return len;
}

const RegisterNodeBase::CacheEntry* RegisterNodeBase::findCache(int64_t address, int64_t len) const {
    for (const CacheEntry& e : m_cache) {
        if (e.address == address && static_cast<int64_t>(e.bytes.size()) == len) return &e;
    }
    return nullptr;
}

void RegisterNodeBase::storeCache(int64_t address, const uint8_t* bytes, int64_t len) {
    for (CacheEntry& e : m_cache) {
        if (e.address == address) {
            e.bytes.assign(bytes, bytes + len);
            return;
        }
    }
    if (m_cache.size() >= kMaxCacheEntries) m_cache.erase(m_cache.begin());
    m_cache.push_back({address, std::vector<uint8_t>(bytes, bytes + len)});
}

bool RegisterNodeBase::dropOverlapping(int64_t address, int64_t length) {
    bool dropped = false;
    for (auto it = m_cache.begin(); it != m_cache.end();) {
        int64_t b = it->address;
        int64_t e = b + static_cast<int64_t>(it->bytes.size());
        if (b < address + length && address < e) {
            it = m_cache.erase(it);
            dropped = true;
        } else {
            ++it;
        }
    }
    return dropped;
}

void RegisterNodeBase::readRaw(uint8_t* out, int64_t len, bool ignoreCache) {
    int64_t addr = address();
    if (!ignoreCache && m_cachable != NoCache) {
        if (const CacheEntry* e = findCache(addr, len)) {
            std::memcpy(out, e->bytes.data(), static_cast<size_t>(len));
            return;
        }
    }
    std::memset(out, 0, static_cast<size_t>(len));
    try {
        m_port->Read(out, addr, len);
    } catch (...) {
        dropOverlapping(addr, len); // the next read must go to the port again
        map().bumpEpoch();
        throw;
    }
    if (m_cachable != NoCache) storeCache(addr, out, len);
}

void RegisterNodeBase::writeRaw(const uint8_t* bytes, int64_t len) {
    int64_t addr = address();
    try {
        m_port->Write(bytes, addr, len);
    } catch (...) {
        dropOverlapping(addr, len); // what the device holds now is unknown
        map().bumpEpoch();
        throw;
    }
    map().onRegisterWritten(this, m_port, addr, len);
    if (m_cachable == WriteThrough) storeCache(addr, bytes, len);
    else dropOverlapping(addr, len);
}

uint64_t RegisterNodeBase::decodeUnsigned(const uint8_t* b, int64_t len) const {
    const size_t width = len > 0 ? static_cast<size_t>(len) : 0;
    return m_endian == BigEndian ? qx::sys::loadBeN(b, width) : qx::sys::loadLeN(b, width);
}

void RegisterNodeBase::encodeUnsigned(uint64_t v, uint8_t* b, int64_t len) const {
    const size_t width = len > 0 ? static_cast<size_t>(len) : 0;
    if (m_endian == BigEndian) qx::sys::storeBeN(b, width, v);
    else qx::sys::storeLeN(b, width, v);
}

void RegisterNodeBase::Get(uint8_t* buffer, int64_t len, bool, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    if (!buffer) QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': null buffer", name().c_str());
    int64_t L = length();
    if (len != L) {
        QX_GENAPI_THROW(InvalidArgumentException,
                        "Node '%s': buffer of %" PRId64 " bytes for a %" PRId64 "-byte register", name().c_str(), len,
                        L);
    }
    readRaw(buffer, L, ignoreCache);
}

void RegisterNodeBase::Set(const uint8_t* buffer, int64_t len, bool) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (!buffer) QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': null buffer", name().c_str());
    int64_t L = length();
    if (len != L) {
        QX_GENAPI_THROW(InvalidArgumentException,
                        "Node '%s': buffer of %" PRId64 " bytes for a %" PRId64 "-byte register", name().c_str(), len,
                        L);
    }
    writeRaw(buffer, L);
}

int64_t RegisterNodeBase::GetLength() {
    Scope s(map());
    s.checkDepth();
    return length();
}

int64_t RegisterNodeBase::GetAddress() {
    Scope s(map());
    s.checkDepth();
    return address();
}

gcstring RegisterNodeBase::ToString(bool verify, bool ignoreCache) {
    Scope s(map());
    int64_t L = GetLength();
    std::vector<uint8_t> buf(static_cast<size_t>(L));
    Get(buf.data(), L, verify, ignoreCache);
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(buf.size() * 2);
    for (uint8_t b : buf) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

void RegisterNodeBase::FromString(const gcstring& text, bool verify) {
    Scope s(map());
    std::string t = text;
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    int64_t L = GetLength();
    if (static_cast<int64_t>(t.size()) != 2 * L) {
        QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': '%.100s' is not %" PRId64 " hexadecimal bytes",
                        name().c_str(), text.c_str(), L);
    }
    std::vector<uint8_t> buf(static_cast<size_t>(L));
    for (size_t i = 0; i < buf.size(); ++i) {
        auto nib = [&](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': '%.100s' is not hexadecimal", name().c_str(),
                            text.c_str());
        };
        buf[i] = static_cast<uint8_t>((nib(t[2 * i]) << 4) | nib(t[2 * i + 1]));
    }
    Set(buf.data(), L, verify);
}

bool RegisterNodeBase::IsValueCacheValid() const {
    Scope s(map());
    try {
        return findCache(address(), length()) != nullptr;
    } catch (...) {
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// IntReg / MaskedIntReg

void IntRegNode::configure(const NodeDesc& d) {
    RegisterNodeBase::configure(d);
    if (const Prop* lp = d.first("Length")) {
        int64_t len = ParseIntLiteral(lp->text, d.name, "Length");
        if (len < 1 || len > 8) {
            QX_GENAPI_THROW(RuntimeException, "node '%s': %s Length %" PRId64 " (must be 1 to 8)", d.name.c_str(),
                            d.kind.c_str(), len);
        }
    }
}

void IntRegNode::field(int& lowBit, int& width) const {
    lowBit = 0;
    width = static_cast<int>(8 * length());
}

int64_t IntRegNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    int64_t L = length();
    if (L > 8) QX_GENAPI_THROW(PropertyException, "Node '%s': length %" PRId64 " for an integer", name().c_str(), L);
    uint8_t buf[8];
    readRaw(buf, L, ignoreCache);
    int low, width;
    field(low, width);
    uint64_t u = (decodeUnsigned(buf, L) >> low) & fieldMask(width);
    int64_t v = static_cast<int64_t>(u);
    if (m_sign == Signed && width < 64 && (u >> (width - 1)) & 1) v = static_cast<int64_t>(u | ~fieldMask(width));
    if (verify) CheckIntegerRange(*this, name(), v);
    return v;
}

void IntRegNode::SetValue(int64_t value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (verify) CheckIntegerRange(*this, name(), value);
    int64_t L = length();
    if (L > 8) QX_GENAPI_THROW(PropertyException, "Node '%s': length %" PRId64 " for an integer", name().c_str(), L);
    int low, width;
    field(low, width);
    uint8_t buf[8] = {0};
    uint64_t mask = fieldMask(width);
    uint64_t u = static_cast<uint64_t>(value) & mask;
    if (width < 8 * L) {
        // A field of the register: read, merge, write.
        uint64_t old = 0;
        if (registerReadable()) {
            readRaw(buf, L, false);
            old = decodeUnsigned(buf, L);
        }
        u = (old & ~(mask << low)) | (u << low);
    }
    encodeUnsigned(u, buf, L);
    writeRaw(buf, L);
}

int64_t IntRegNode::GetMin() {
    Scope s(map());
    int low, width;
    field(low, width);
    if (m_sign == Signed) return width >= 64 ? std::numeric_limits<int64_t>::min() : -(int64_t(1) << (width - 1));
    return 0;
}

int64_t IntRegNode::GetMax() {
    Scope s(map());
    int low, width;
    field(low, width);
    if (m_sign == Signed) return width >= 64 ? std::numeric_limits<int64_t>::max() : (int64_t(1) << (width - 1)) - 1;
    return width >= 63 ? std::numeric_limits<int64_t>::max() : (int64_t(1) << width) - 1;
}

ERepresentation IntRegNode::GetRepresentation() {
    return m_representation == _UndefinedRepresentation ? PureNumber : m_representation;
}

gcstring IntRegNode::ToString(bool verify, bool ignoreCache) {
    Scope s(map());
    return FormatInteger(GetValue(verify, ignoreCache), GetRepresentation());
}

void IntRegNode::FromString(const gcstring& text, bool verify) { SetValue(ParseIntegerText(text, name()), verify); }

void MaskedIntRegNode::configure(const NodeDesc& d) {
    IntRegNode::configure(d);
    const Prop* bit = d.first("Bit");
    const Prop* lsb = d.first("LSB");
    const Prop* msb = d.first("MSB");
    if (bit) {
        m_lsb = m_msb = static_cast<int>(ParseIntLiteral(bit->text, d.name, "Bit"));
    } else if (lsb && msb) {
        m_lsb = static_cast<int>(ParseIntLiteral(lsb->text, d.name, "LSB"));
        m_msb = static_cast<int>(ParseIntLiteral(msb->text, d.name, "MSB"));
    } else {
        QX_GENAPI_THROW(RuntimeException, "node '%s': MaskedIntReg needs Bit, or LSB and MSB", d.name.c_str());
    }
    if (m_lsb < 0 || m_lsb > 63 || m_msb < 0 || m_msb > 63) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': bit numbers must be 0 to 63", d.name.c_str());
    }
}

void MaskedIntRegNode::field(int& lowBit, int& width) const {
    int bits = static_cast<int>(8 * length());
    int a = m_lsb, b = m_msb;
    if (m_endian == BigEndian) {
        // Big-endian registers number bit 0 as the most significant bit.
        a = bits - 1 - a;
        b = bits - 1 - b;
    }
    int lo = std::min(a, b), hi = std::max(a, b);
    if (lo < 0 || hi >= bits) {
        QX_GENAPI_THROW(PropertyException, "Node '%s': bits %d..%d outside a %d-bit register", name().c_str(), m_lsb,
                        m_msb, bits);
    }
    lowBit = lo;
    width = hi - lo + 1;
}

// ---------------------------------------------------------------------------------------------
// FloatReg

void FloatRegNode::configure(const NodeDesc& d) {
    RegisterNodeBase::configure(d);
    if (const Prop* p = d.first("Length")) {
        int64_t len = ParseIntLiteral(p->text, d.name, "Length");
        if (len != 4 && len != 8) {
            QX_GENAPI_THROW(RuntimeException, "node '%s': FloatReg Length %" PRId64 " (must be 4 or 8)", d.name.c_str(),
                            len);
        }
    }
    for (const Prop& p : d.props) {
        if (p.name == "DisplayNotation"sv) m_notation = ParseDisplayNotation(p.text);
        else if (p.name == "DisplayPrecision"sv) m_precision = ParseIntLiteral(p.text, d.name, "DisplayPrecision");
    }
}

double FloatRegNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    int64_t L = length();
    if (L != 4 && L != 8) QX_GENAPI_THROW(PropertyException, "Node '%s': FloatReg length %" PRId64, name().c_str(), L);
    uint8_t buf[8];
    readRaw(buf, L, ignoreCache);
    uint64_t u = decodeUnsigned(buf, L);
    double v;
    if (L == 4) {
        uint32_t u32 = static_cast<uint32_t>(u);
        float f;
        std::memcpy(&f, &u32, 4);
        v = f;
    } else {
        std::memcpy(&v, &u, 8);
    }
    if (verify) CheckFloatRange(*this, name(), v);
    return v;
}

void FloatRegNode::SetValue(double value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (verify) CheckFloatRange(*this, name(), value);
    int64_t L = length();
    if (L != 4 && L != 8) QX_GENAPI_THROW(PropertyException, "Node '%s': FloatReg length %" PRId64, name().c_str(), L);
    uint64_t u;
    if (L == 4) {
        float f = static_cast<float>(value);
        uint32_t u32;
        std::memcpy(&u32, &f, 4);
        u = u32;
    } else {
        std::memcpy(&u, &value, 8);
    }
    uint8_t buf[8];
    encodeUnsigned(u, buf, L);
    writeRaw(buf, L);
}

double FloatRegNode::GetMin() { return -std::numeric_limits<double>::max(); }
double FloatRegNode::GetMax() { return std::numeric_limits<double>::max(); }
double FloatRegNode::GetInc() { QX_GENAPI_THROW(AccessException, "Node '%s' has no increment", name().c_str()); }
gcstring FloatRegNode::ToString(bool verify, bool ignoreCache) { return FormatFloat(GetValue(verify, ignoreCache)); }
void FloatRegNode::FromString(const gcstring& text, bool verify) { SetValue(ParseFloatText(text, name()), verify); }

// ---------------------------------------------------------------------------------------------
// StringReg

gcstring StringRegNode::GetValue(bool, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    int64_t L = length();
    std::vector<uint8_t> buf(static_cast<size_t>(L));
    readRaw(buf.data(), L, ignoreCache);
    size_t n = 0;
    while (n < buf.size() && buf[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(buf.data()), n);
}

void StringRegNode::SetValue(const gcstring& value, bool) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    int64_t L = length();
    if (static_cast<int64_t>(value.size()) > L) {
        QX_GENAPI_THROW(OutOfRangeException, "Node '%s': text of %zu bytes exceeds the register length %" PRId64,
                        name().c_str(), value.size(), L);
    }
    std::vector<uint8_t> buf(static_cast<size_t>(L), 0);
    std::memcpy(buf.data(), value.data(), value.size());
    writeRaw(buf.data(), L);
}

} // namespace QxGenApi::detail
