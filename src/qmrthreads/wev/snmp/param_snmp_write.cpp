#include "snmp/param_snmp_write.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <arpa/inet.h>
#include <cstring>

#include "core/params/param_handles.h"
#include "core/params/param_store.h"

namespace {

bool isIntegerType(int type)
{
    return type == ASN_INTEGER || type == ASN_GAUGE;
}

// The library hands integers over as a host long (8 bytes here, 4 on the
// box); a 4-byte value is taken as well. Values beyond 32 bits are kept in
// 64 bits so that the range check refuses them instead of truncating them.
bool readInteger(const uint8_t* value, int type, size_t length, int64_t* out)
{
    if (!value)
        return false;
    if (length == sizeof(long)) {
        long v;
        std::memcpy(&v, value, sizeof(v));
        *out = type == ASN_GAUGE ? int64_t(static_cast<unsigned long>(v)) : int64_t(v);
        return true;
    }
    if (length == sizeof(int32_t)) {
        int32_t v;
        std::memcpy(&v, value, sizeof(v));
        *out = type == ASN_GAUGE ? int64_t(static_cast<uint32_t>(v)) : int64_t(v);
        return true;
    }
    return false;
}

int reserveInteger(const IntParam& p, const uint8_t* value, int type, size_t length)
{
    if (!isIntegerType(type))
        return SNMP_ERR_WRONGTYPE;
    int64_t v;
    if (!readInteger(value, type, length, &v))
        return SNMP_ERR_WRONGLENGTH;
    if (v < INT32_MIN || v > INT32_MAX)
        return SNMP_ERR_WRONGVALUE;
    const ParamRange* r = p.paramClass() == ParamClass::Bool ? &boolParamRange : p.range();
    if (r && (v < r->min || v > r->max))
        return SNMP_ERR_WRONGVALUE;
    return SNMP_ERR_NOERROR;
}

int reserveText(const StringParam& p, const uint8_t* value, int type, size_t length)
{
    if (type != ASN_OCTET_STR)
        return SNMP_ERR_WRONGTYPE;
    if (const ParamRange* r = p.range()) {
        if (int64_t(length) < r->min || int64_t(length) > r->max)
            return SNMP_ERR_WRONGLENGTH;
    }
    const std::string text(reinterpret_cast<const char*>(value), value ? length : 0);
    // A zero byte or another control character would cut the value or add
    // lines to the files written from it.
    if (hasControlCharacter(text.data(), text.size()) || std::memchr(text.data(), 0, text.size()))
        return SNMP_ERR_WRONGVALUE;
    return p.isValid(text.c_str()) ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGVALUE;
}

// The row of a token given with its length (never read past it).
int32_t tokenRow(const P3List& p, const uint8_t* value, size_t length)
{
    const std::string text(reinterpret_cast<const char*>(value), value ? length : 0);
    if (std::memchr(text.data(), 0, text.size()))
        return P3List::kNoRow;
    return p.indexOfToken(text.c_str());
}

int reserveList(const P3List& p, const uint8_t* value, int type, size_t length)
{
    if (p.hasFlags(kParamSnmpToken)) {
        if (type != ASN_OCTET_STR)
            return SNMP_ERR_WRONGTYPE;
        return tokenRow(p, value, length) == P3List::kNoRow ? SNMP_ERR_WRONGVALUE : SNMP_ERR_NOERROR;
    }
    if (!isIntegerType(type))
        return SNMP_ERR_WRONGTYPE;
    int64_t v;
    if (!readInteger(value, type, length, &v))
        return SNMP_ERR_WRONGLENGTH;
    return v >= 0 && v < p.rowCount() ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGVALUE;
}

constexpr size_t kIpv6TextMax = 40;

bool parseIpv6(const uint8_t* value, size_t length, SockAddr* out)
{
    char text[kIpv6TextMax + 1];
    if (!value || length > kIpv6TextMax)
        return false;
    std::memcpy(text, value, length);
    text[length] = '\0';
    in6_addr bytes;
    if (std::strlen(text) != length || inet_pton(AF_INET6, text, &bytes) != 1)
        return false;
    out->setIpv6Bytes(bytes.s6_addr);
    return true;
}

int reserveAddress(const IpParam& p, const uint8_t* value, int type, size_t length)
{
    if (p.paramClass() == ParamClass::Ip6) {
        if (type != ASN_OCTET_STR)
            return SNMP_ERR_WRONGTYPE;
        if (length > kIpv6TextMax)
            return SNMP_ERR_WRONGLENGTH;
        SockAddr parsed;
        return parseIpv6(value, length, &parsed) ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGTYPE;
    }
    if (type != ASN_IPADDRESS)
        return SNMP_ERR_WRONGTYPE;
    return length == 4 && value ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGLENGTH;
}

int reserveMac(const uint8_t* value, int type, size_t length)
{
    if (type != ASN_OCTET_STR)
        return SNMP_ERR_WRONGTYPE;
    return length == 6 && value ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGLENGTH;
}

} // namespace

int ParamSnmpWriter::write(Param& param, int action, const uint8_t* value, int type, size_t length)
{
    switch (action) {
    case MODE_SET_RESERVE1:
        if (param.hasFlags(kParamHidden | kParamInternal))
            return SNMP_ERR_NOSUCHNAME;
        return reserve(param, value, type, length);
    case MODE_SET_RESERVE2:
        return SNMP_ERR_NOERROR;
    case MODE_SET_ACTION:
        return store(param, value, type, length);
    case MODE_SET_COMMIT:
        return commit(param);
    case MODE_SET_FREE:
        saved_.erase(&param);
        return SNMP_ERR_NOERROR;
    case MODE_SET_UNDO:
        undo(param);
        return SNMP_ERR_NOERROR;
    default:
        return SNMP_ERR_GENERR;
    }
}

int ParamSnmpWriter::reserve(Param& param, const uint8_t* value, int type, size_t length) const
{
    switch (param.paramClass()) {
    case ParamClass::Int:
    case ParamClass::Bool:
        return reserveInteger(static_cast<const IntParam&>(param), value, type, length);
    case ParamClass::String:
        return reserveText(static_cast<const StringParam&>(param), value, type, length);
    case ParamClass::List:
        return reserveList(static_cast<const P3List&>(param), value, type, length);
    case ParamClass::Ip:
    case ParamClass::Ip6:
        return reserveAddress(static_cast<const IpParam&>(param), value, type, length);
    case ParamClass::Mac:
        return reserveMac(value, type, length);
    }
    return SNMP_ERR_NOTWRITABLE;
}

// Keeps the value and the modified mark this request found; a second binding
// of the same parameter keeps the first one's.
void ParamSnmpWriter::save(Param& param)
{
    if (saved_.count(&param))
        return;
    Saved s;
    s.wasModified = param.isModified();
    switch (param.paramClass()) {
    case ParamClass::Int:
    case ParamClass::Bool:
        s.number = static_cast<IntParam&>(param).value();
        break;
    case ParamClass::String:
        s.text = static_cast<StringParam&>(param).value();
        break;
    case ParamClass::List:
        s.number = static_cast<P3List&>(param).index();
        break;
    case ParamClass::Ip:
    case ParamClass::Ip6:
        s.address = static_cast<IpParam&>(param).address();
        break;
    case ParamClass::Mac:
        static_cast<MacParam&>(param).bytes(s.mac);
        break;
    }
    saved_.emplace(&param, std::move(s));
}

int ParamSnmpWriter::store(Param& param, const uint8_t* value, int type, size_t length)
{
    // RESERVE1 has checked the value; checking again costs nothing and keeps
    // a store of an unchecked value impossible.
    const int status = reserve(param, value, type, length);
    if (status != SNMP_ERR_NOERROR)
        return status;
    save(param);
    switch (param.paramClass()) {
    case ParamClass::Int:
    case ParamClass::Bool: {
        int64_t v = 0;
        readInteger(value, type, length, &v);
        static_cast<IntParam&>(param).setValue(int32_t(v));
        break;
    }
    case ParamClass::String:
        param.assign(reinterpret_cast<const char*>(value), int(length));
        break;
    case ParamClass::List: {
        P3List& list = static_cast<P3List&>(param);
        int64_t row = 0;
        if (list.hasFlags(kParamSnmpToken))
            row = tokenRow(list, value, length);
        else
            readInteger(value, type, length, &row);
        list.setIndex(int32_t(row));
        break;
    }
    case ParamClass::Ip: {
        SockAddr a;
        a.setIpv4Bytes(value[0], value[1], value[2], value[3]);
        static_cast<IpParam&>(param).setAddress(a);
        break;
    }
    case ParamClass::Ip6: {
        SockAddr a;
        parseIpv6(value, length, &a);
        static_cast<IpParam&>(param).setAddress(a);
        break;
    }
    case ParamClass::Mac: {
        MacParam& mac = static_cast<MacParam&>(param);
        mac.setBytes(value);
        if (std::memcmp(saved_[&param].mac, value, 6) != 0)
            mac.markModified();
        break;
    }
    }
    return SNMP_ERR_NOERROR;
}

int ParamSnmpWriter::commit(Param& param)
{
    saved_.erase(&param);
    if (&param == params::ip_addr())
        params::ip_setby()->set("snmp", -1);
    saveParamsIfDirty();
    return SNMP_ERR_NOERROR;
}

void ParamSnmpWriter::undo(Param& param)
{
    auto it = saved_.find(&param);
    if (it == saved_.end())
        return;
    const Saved& s = it->second;
    switch (param.paramClass()) {
    case ParamClass::Int:
    case ParamClass::Bool:
        static_cast<IntParam&>(param).setValue(s.number);
        break;
    case ParamClass::String:
        param.assign(s.text->data(), int(s.text->size()));
        break;
    case ParamClass::List:
        if (s.number != P3List::kNoRow)
            static_cast<P3List&>(param).setIndex(s.number);
        break;
    case ParamClass::Ip:
    case ParamClass::Ip6:
        static_cast<IpParam&>(param).setAddress(s.address);
        break;
    case ParamClass::Mac:
        static_cast<MacParam&>(param).setBytes(s.mac);
        break;
    }
    if (s.wasModified)
        param.markModified();
    else
        param.takeModified();
    saved_.erase(it);
}
