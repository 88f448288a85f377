// Parameters: every setting and every published status value of the box is a
// named, typed Param. Seven classes answer one virtual interface: check a
// text, take a text, give the value as text (pages, the parameter file,
// mails), give it to an SNMP read, and the shared Param::set every writer
// uses. Writes over SNMP are the agent's (snmp/param_snmp_write.h).
//
// Threads: any thread may read or write any parameter. A value is copied in
// and out under the parameter's own mutex; the modified mark and the flags
// word are atomics; no operation holds two parameter locks. Text values are
// handed out as copies or as shared snapshots, never as pointers into a value
// that another thread may replace.
//
// API changes:
//   - ParamStore::catalogue() (param_store.h) added: the generated table
//     itself, never a test table. Direct handles should index it rather than
//     ParamStore::items(), which answers the test table while one is set.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/addr/sock_addr.h"

// Flags word bits.
enum : uint32_t {
    kParamStatus = 0x1,          // published value the system writes itself
    kParamInternal = 0x2,        // not over SNMP, not in listings
    kParamSecret = 0x4,          // shown as "****"; "****" written back keeps it
    kParamTranslated = 0x10,     // labels / text value go through getmuText
    kParamVolatile = 0x20,       // never saved; a change asks for no save
    kParamHashed = 0x40,         // text kept as a password hash
    kParamFeatureMask = 0x7ff000,  // model features the parameter needs
    kParamHidden = 0x1000000,    // not found, not saved or loaded, not listed
    kParamPerPort = 0x2000000,   // name ends in _<physical port>
    kParamPerDevice = 0x8000000, // name ends in _<device table row>
    kParamRuntime = 0x10000000,  // a change takes effect at run time
    kParamSnmpToken = 0x20000000,  // list exchanged as token text over SNMP
    kParamNetwork = 0x40000000,  // a change re-applies the network set-up
};

// Results of Param::set (0 = refused, or accepted on a hidden/volatile one).
enum : int {
    kSetNetwork = 0x2,
    kSetRestart = 0x4,
    kSetRuntime = 0x80,
};

// Range record: value range of an IntParam, length range of a StringParam.
struct ParamRange {
    int32_t min;
    int32_t max;
};

// The one range every BoolParam shares.
extern const ParamRange boolParamRange;

// One row of a list table: token (the stored value), label (display text,
// a catalogue message id), extra (a third column the list gives meaning to).
struct P3ListRow {
    const char* token;
    const char* label;
    const char* extra;
};

// Which of the seven classes a parameter is (the program has no RTTI).
enum class ParamClass { Int, Bool, String, List, Ip, Ip6, Mac };

// Longest text Param::set takes.
constexpr int kParamMaxTextLength = 1024;
// A buffer that holds the text form of any parameter.
constexpr size_t kParamTextBufferSize = kParamMaxTextLength + 1;

class Param {
public:
    Param(const char* name, int kind, const void* table, uint32_t flags);
    virtual ~Param();
    Param(const Param&) = delete;
    Param& operator=(const Param&) = delete;

    // Is the text acceptable. A null text counts as no text.
    virtual bool isValid(const char* text) const = 0;
    // The value as text into buffer; size is the buffer size including the
    // terminator. Always terminated when size > 0; returns the number of
    // characters written (0 when the buffer is too small for the classes
    // whose text cannot be cut: boolean, addresses).
    virtual int toText(char* buffer, size_t size) const = 0;
    // As toText with a column selector (only lists use it).
    virtual int toTextSel(uint32_t selector, char* buffer, size_t size) const;
    // The value in parameter-file form; returns fprintf's count (< 0 on error).
    virtual int print(FILE* out) const = 0;
    // Store a checked text (length -1: up to the terminator); non-zero when
    // accepted (the meaning per class is in the class).
    virtual int assign(const char* text, int length) = 0;
    virtual bool hasValue() const = 0;
    // The value for an SNMP read: its bytes (integers as a host-order int32)
    // copied into value. false: no value (hidden, internal, unset).
    virtual bool getSnmp(std::string& value) const = 0;
    // The one write path for texts: 0 refused; otherwise by flags 0 (hidden
    // or volatile), kSetRuntime, kSetNetwork or kSetRestart. The result says
    // the text was accepted, not that the value changed (addresses and MACs
    // answer 0 for their current value).
    virtual int set(const char* text, int length);
    // As set; *refused (when not null) tells a refused text apart from the
    // 0 that hidden and volatile parameters, and addresses given their
    // current value, answer for an accepted one.
    int setReporting(const char* text, int length, bool* refused);
    virtual int valueCount() const { return 1; }
    virtual bool isOn() const { return false; }
    virtual bool isOff() const { return true; }
    virtual ParamClass paramClass() const = 0;

    const char* name() const { return name_; }
    uint32_t flags() const { return flags_.load(std::memory_order_acquire); }
    bool hasFlags(uint32_t bits) const { return (flags() & bits) != 0; }
    bool isHidden() const { return hasFlags(kParamHidden); }
    // Model set-up and the USB server add the hidden bit; the loader drops
    // the hashed bit for one set. Nothing else changes the flags.
    void addFlags(uint32_t bits) { flags_.fetch_or(bits, std::memory_order_acq_rel); }
    void removeFlags(uint32_t bits) { flags_.fetch_and(~bits, std::memory_order_acq_rel); }
    int kind() const { return kind_; }
    const void* table() const { return table_; }

    bool isModified() const { return modified_.load(std::memory_order_acquire) != 0; }
    // Reads and clears the mark in one step, so a change made meanwhile is
    // never lost.
    bool takeModified() { return modified_.exchange(0, std::memory_order_acq_rel) != 0; }
    void markModified() { modified_.store(1, std::memory_order_release); }

    // Lock and unlock the value's mutex; a failure is reported with perror
    // and its error number returned (the caller goes on).
    int lock() const;
    int unlock() const;

    // The toText form as a string (secrets as "****").
    std::string text() const;

protected:
    // The value equals what the text gives (for the classes whose assign
    // answers 0 for an unchanged value).
    virtual bool equalsText(const char*) const { return false; }

    void flipModified() { modified_.fetch_xor(1, std::memory_order_acq_rel); }
    void orModified(bool changed)
    {
        if (changed)
            markModified();
    }

    // Holds the value's mutex for a scope.
    class Guard {
    public:
        explicit Guard(const Param& p) : p_(p) { p_.lock(); }
        ~Guard() { p_.unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        const Param& p_;
    };

private:
    mutable pthread_mutex_t mutex_;
    const char* name_;
    std::atomic<uint32_t> flags_;
    const void* table_;
    int kind_;
    std::atomic<uint8_t> modified_{0};
};

class IntParam : public Param {
public:
    IntParam(const char* name, int32_t value, int kind, const ParamRange* range, uint32_t flags);

    bool isValid(const char* text) const override;
    int toText(char* buffer, size_t size) const override;
    int print(FILE* out) const override;
    int assign(const char* text, int length) override;
    bool hasValue() const override { return true; }
    bool getSnmp(std::string& value) const override;
    bool isOn() const override { return value() != 0; }
    bool isOff() const override { return value() == 0; }
    ParamClass paramClass() const override { return ParamClass::Int; }

    int32_t value() const;
    // Stores v when it differs and marks the parameter; no range check.
    // Returns whether it changed.
    bool setValue(int32_t v);
    // With a range, v outside it stores nothing and gives false; otherwise
    // setValue(v) and true (also when unchanged).
    bool setChecked(int32_t v);
    // The range record, or null when the parameter has none.
    const ParamRange* range() const;

protected:
    int32_t value_;
};

class BoolParam : public IntParam {
public:
    BoolParam(const char* name, int32_t value, uint32_t flags);

    bool isValid(const char* text) const override;
    int toText(char* buffer, size_t size) const override;
    int print(FILE* out) const override;
    int assign(const char* text, int length) override;
    ParamClass paramClass() const override { return ParamClass::Bool; }

    // "yes" or "no".
    const char* yesNo() const;
};

class StringParam : public Param {
public:
    StringParam(const char* name, const char* defaultText, const ParamRange* range, uint32_t flags);

    bool isValid(const char* text) const override;
    int toText(char* buffer, size_t size) const override;
    int print(FILE* out) const override;
    int assign(const char* text, int length) override;
    bool hasValue() const override;
    bool getSnmp(std::string& value) const override;
    ParamClass paramClass() const override { return ParamClass::String; }

    // The raw value (secrets in clear) as a snapshot that stays valid however
    // the parameter changes afterwards.
    std::shared_ptr<const std::string> value() const;
    const ParamRange* range() const;

private:
    // A hashed parameter keeps the hash of a new password; the password
    // it already holds leaves it unchanged.
    int assignPassword(const char* text, size_t length);

    std::shared_ptr<const std::string> value_;
};

// The value of a text parameter, or its translation when it is translated
// and has a value. An empty text for null.
std::string paramText(const StringParam* p);
inline std::string paramText(const StringParam& p) { return paramText(&p); }

// A text parameter refuses control characters: a line end would add lines to
// the parameter file and to every configuration file written from it.
bool hasControlCharacter(const char* text, size_t length);

class P3List : public Param {
public:
    static constexpr int32_t kNoRow = INT32_MIN;  // 0x80000000: no value

    P3List(const char* name, const char* defaultToken, int rowCount, const P3ListRow* rows, uint32_t flags);

    bool isValid(const char* text) const override;
    int toText(char* buffer, size_t size) const override;
    // Bit 31: the current row, column by bits 16-17. Otherwise with bits
    // 16-17 set the row is the low 16 bits, without them the whole selector
    // and the column the token. Columns: 0 token, 0x10000 label, 0x20000 and
    // 0x30000 extra. A row outside the table writes an error line, gives 0.
    int toTextSel(uint32_t selector, char* buffer, size_t size) const override;
    int print(FILE* out) const override;
    int assign(const char* text, int length) override;
    bool hasValue() const override { return index() != kNoRow; }
    bool getSnmp(std::string& value) const override;
    int valueCount() const override { return kind(); }
    ParamClass paramClass() const override { return ParamClass::List; }

    int rowCount() const { return kind(); }
    const P3ListRow* rows() const { return rows_; }
    int32_t index() const;
    // Selects a row by index (the SNMP index form); marks on change. false
    // for an index outside the table.
    bool setIndex(int32_t row);
    // First row whose token equals the text (case-sensitive), kNoRow if none.
    int32_t indexOfToken(const char* text) const;
    // Token of the current row; "" when there is none. Table texts are
    // constant, so the pointer stays valid.
    const char* currentToken() const;
    // Label of the current row, translated when the list is; "" when none.
    const char* label() const;
    // The current token equals the text, ignoring case.
    bool equalsToken(const char* text) const;
    // equalsToken holds for one of a null-terminated array of texts.
    bool matchesAny(const char* const* texts) const;

private:
    const P3ListRow* rows_;
    int32_t index_;
};

class MacParam : public Param {
public:
    MacParam(const char* name, const uint8_t* bytes, int kind, const void* table, uint32_t flags);

    bool isValid(const char* text) const override;
    int toText(char* buffer, size_t size) const override;
    int print(FILE* out) const override;
    int assign(const char* text, int length) override;
    bool hasValue() const override;
    bool getSnmp(std::string& value) const override;
    ParamClass paramClass() const override { return ParamClass::Mac; }

    // Copies the six bytes out.
    void bytes(uint8_t out[6]) const;
    // Stores six bytes; the modified mark is left to the caller.
    void setBytes(const uint8_t bytes[6]);

protected:
    bool equalsText(const char* text) const override;

private:
    uint8_t mac_[6];
};

class IpParam : public Param {
public:
    IpParam(const char* name, const SockAddr& address, int kind, const void* table, uint32_t flags);

    bool isValid(const char* text) const override;
    int toText(char* buffer, size_t size) const override;
    int print(FILE* out) const override;
    int assign(const char* text, int length) override;
    bool hasValue() const override { return address().isSet(); }
    bool getSnmp(std::string& value) const override;
    ParamClass paramClass() const override { return ParamClass::Ip; }

    SockAddr address() const;
    // Stores the address when it differs (family or bytes) and marks the
    // parameter; returns whether it changed.
    bool setAddress(const SockAddr& address);
    bool isLinkLocal() const { return address().isLinkLocal(); }

protected:
    // Shared by both families: parse with the family's inet_pton, refuse an
    // unchanged address, else store and mark.
    int assignFamily(const char* text, int length, bool ipv6);
    bool equalsText(const char* text) const override;
    // Smallest buffer toText fills.
    virtual size_t minTextSize() const { return 20; }

    SockAddr addr_;
};

class Ip6Address : public IpParam {
public:
    Ip6Address(const char* name, const char* text, int kind, const void* table, uint32_t flags);

    bool isValid(const char* text) const override;
    int assign(const char* text, int length) override;
    ParamClass paramClass() const override { return ParamClass::Ip6; }

protected:
    size_t minTextSize() const override { return 40; }
};
