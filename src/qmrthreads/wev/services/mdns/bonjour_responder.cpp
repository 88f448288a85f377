#include "services/mdns/bonjour_responder.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/task/start_state.h"

namespace {

constexpr uint64_t kAnswerDelays[4] = {3, 6, 9, 12};
constexpr uint32_t kOwnTtlPtr = 7200;
constexpr uint32_t kOwnTtlOther = 60;
constexpr int64_t kProbeWait = 10;
constexpr int kSlowProbingAfter = 9;
// Bits that an immediate answer can carry.
constexpr uint8_t kImmediateBits = 0x7D;
enum { kConflictAddress = 0, kConflictSrv = 1 };

std::mutex publishedMutex;
char publishedName[kInstanceNameSize] = "";

void publishName(const char* name)
{
    std::lock_guard<std::mutex> lock(publishedMutex);
    snprintf(publishedName, sizeof publishedName, "%s", name);
}

uint8_t bitForType(uint16_t type)
{
    switch (type) {
    case kDnsTypeSrv:
        return kRecSrv;
    case kDnsTypeTxt:
        return kRecTxt;
    case kDnsTypeA:
        return kRecAddress;
    case kDnsTypePtr:
        return kRecPtr;
    default:
        return 0;
    }
}

} // namespace

void currentBonjourName(char* out, size_t size)
{
    std::lock_guard<std::mutex> lock(publishedMutex);
    snprintf(out, size, "%s", publishedName);
}

BonjourResponder::BonjourResponder(MdnsSender* sender) : sender_(sender), writer_(rows_, kRows)
{
    rows_[0].type = "_https";
    rows_[0].port = 443;
    rows_[1].type = "_http";
    rows_[1].port = 80;
}

void BonjourResponder::resetState(bool full)
{
    probeState_ = 0;
    answerDeadline_ = 0;
    if (!full)
        return;
    instanceName_[0] = '\0';
    renameNumber_ = 0;
    snprintf(hostLabel_, sizeof hostLabel_, "%s", productInfo().default_name);
    cutToBytes(hostLabel_, kDnsMaxLabel);
}

void BonjourResponder::clearRowBits()
{
    for (MdnsServiceRow& r : rows_) {
        r.pending = 0;
        r.additional = 0;
    }
}

BonjourResponder::RowBits BonjourResponder::rowBits() const
{
    RowBits b;
    for (int i = 0; i < kRows; ++i) {
        b.pending[i] = rows_[i].pending;
        b.additional[i] = rows_[i].additional;
    }
    return b;
}

void BonjourResponder::setRowBits(const RowBits& b)
{
    for (int i = 0; i < kRows; ++i) {
        rows_[i].pending = b.pending[i];
        rows_[i].additional = b.additional[i];
    }
}

bool BonjourResponder::rowActive(int row) const
{
    return rows_[row].port != 0 && instanceName_[0] != '\0';
}

void BonjourResponder::startRun(uint64_t now)
{
    probeState_ = 0;
    probeTimer_ = now;
    probeCount_ = 0;
    clearRowBits();
    if (httpsPort() > 0 && httpsPort() != 443)
        rows_[0].port = static_cast<uint16_t>(httpsPort());
    if (httpPort() > 0 && httpPort() != 80)
        rows_[1].port = static_cast<uint16_t>(httpPort());
    loadInstanceName();
    buildInstanceName();
}

InstanceNameInputs BonjourResponder::nameInputs(const char* configured) const
{
    InstanceNameInputs in;
    in.configured = configured;
    in.defaultName = productInfo().default_name;
    in.productName = productInfo().product_name;
    return in;
}

void BonjourResponder::loadInstanceName()
{
    auto configured = params::bonjour_name()->value();
    snprintf(instanceName_, sizeof instanceName_, "%s", configured->c_str());
    const int suffix = parseInstanceSuffix(instanceName_, false);
    if (suffix > renameNumber_)
        renameNumber_ = suffix;
}

void BonjourResponder::buildInstanceName()
{
    auto configured = params::bonjour_name()->value();
    ::buildInstanceName(nameInputs(configured->c_str()), &renameNumber_, instanceName_, sizeof instanceName_);
    publishName(instanceName_);
}

void BonjourResponder::renameOnConflict()
{
    auto configured = params::bonjour_name()->value();
    if (!renamesOnConflict(nameInputs(configured->c_str())))
        return;
    ++renameNumber_;
    buildInstanceName();
}

MdnsNames BonjourResponder::names(uint32_t address) const
{
    MdnsNames n;
    n.hostLabel = hostLabel_;
    n.instanceName = instanceName_;
    n.address = address;
    return n;
}

int BonjourResponder::send(int kind, const MdnsQuery* legacy)
{
    writer_.ptrWritten = false;
    const int sent = sender_->sendMessage(*this, kind, legacy);
    // A PTR that went out answered the delayed question.
    if (writer_.ptrWritten)
        answerDeadline_ = 0;
    return sent;
}

void BonjourResponder::probeStep(uint64_t now)
{
    switch (probeState_) {
    case kProbeRestart:
        probeState_ = 0;
        probeTimer_ = now;
        break;
    case 0:
    case 1:
    case 2:
        if (now - probeTimer_ < kProbeInterval)
            break;
        send(kMdnsHostProbe, nullptr);
        send(kMdnsServiceProbe, nullptr);
        ++probeState_;
        ++probeCount_;
        probeTimer_ = now;
        break;
    case kProbeAnnounceDue:
        if (now - probeTimer_ < kProbeInterval)
            break;
        send(kMdnsAnnouncement, nullptr);
        probeState_ = kProbeAnnounced;
        probeTimer_ = now;
        if (renameNumber_ != 0)
            params::bonjour_name()->set(instanceName_, -1);
        probeCount_ = 0;
        break;
    default:
        break;
    }
}

int64_t BonjourResponder::waitTicks(uint64_t now) const
{
    if (answerDeadline_ != 0)
        return answerDeadline_ > now + 1 ? static_cast<int64_t>(answerDeadline_ - now) : 1;
    if (probeCount_ > kSlowProbingAfter || probeState_ == kProbeAnnounced)
        return 0;
    return kProbeWait;
}

void BonjourResponder::onIdle(uint64_t now)
{
    if (answerDeadline_ == 0 || now < answerDeadline_)
        return;
    send(kMdnsAnswer, nullptr);
    answerDeadline_ = 0;
}

void BonjourResponder::sayGoodbye()
{
    send(kMdnsGoodbye, nullptr);
    renameNumber_ = 0;
}

void BonjourResponder::nextAnswerDeadline(uint64_t now)
{
    answerDeadline_ = now + kAnswerDelays[delayIndex_];
    delayIndex_ = (delayIndex_ + 1) % 4;
}

void BonjourResponder::markRecords(const MdnsRecordView& q, uint64_t now)
{
    if (q.row < 0)
        return;
    if (q.row == kMdnsHostRow) {
        rows_[0].pending |= kRecHostAddress;
        return;
    }
    uint8_t bits = 0;
    switch (q.type) {
    case kDnsTypeA:
        bits = kRecAddress;
        break;
    case kDnsTypeTxt:
        bits = kRecTxt;
        break;
    case kDnsTypeSrv:
        bits = kRecSrv;
        break;
    case kDnsTypePtr:
        bits = kRecPtr;
        nextAnswerDeadline(now);
        break;
    case kDnsTypeAny:
        if (q.browse) {
            bits = kRecSrv | kRecPtr | kRecTxt | kRecAddress;
            nextAnswerDeadline(now);
        } else {
            bits = kRecSrv | kRecTxt | kRecAddress;
        }
        break;
    default:
        return;
    }
    if (q.browse)
        bits |= kRecBrowse;
    rows_[q.row].pending |= bits;
}

// 0 identical, 1 the other host wins, -1 the responder wins; kSrvUnreadable
// for a record that is not compared (*kind says which stamp applies).
int BonjourResponder::compareRecord(const MdnsReader& r, const MdnsRecordView& rec, int* kind) const
{
    if (rec.type == kDnsTypeSrv && rec.row != kMdnsHostRow && !rec.browse) {
        *kind = kConflictSrv;
        return r.compareSrv(rec, rows_[rec.row].port, hostLabel_);
    }
    if (rec.type == kDnsTypeA && rec.rdlength == 4 && rec.row == kMdnsHostRow) {
        *kind = kConflictAddress;
        const uint32_t theirs = r.get32(rec.rdata);
        const uint32_t ours = ntohl(params::ip_addr()->address().ipv4Value());
        return theirs == ours ? 0 : (theirs > ours ? 1 : -1);
    }
    return 0;
}

void BonjourResponder::suppressKnownAnswer(const MdnsReader& r, const MdnsRecordView& rec)
{
    if (rec.row == kMdnsHostRow)
        return;
    const uint32_t own = rec.type == kDnsTypePtr ? kOwnTtlPtr : kOwnTtlOther;
    // More than half, not "at least half": a TTL of exactly half is answered.
    if (rec.ttl <= own / 2)
        return;
    if (rec.type != kDnsTypePtr) {
        if (!rec.browse)
            rows_[rec.row].clearPending(bitForType(rec.type));
        return;
    }
    DnsName target;
    bool browse = false;
    if (r.readName(rec.rdata, &target) < 0)
        return;
    const int row = r.matchName(target, rows_, kRows, names(0), &browse);
    if (row < 0 || row == kMdnsHostRow || browse)
        return;
    rows_[row].clearPending(kRecPtr);
    answerDeadline_ = 0;
}

// Whether a record of another host conflicts with the responder's.
bool BonjourResponder::checkRecord(const MdnsReader& r, const MdnsRecordView& rec, int section, uint64_t now)
{
    if (rec.row < 0)
        return false;
    int kind = kConflictAddress;
    const int cmp = compareRecord(r, rec, &kind);
    if (cmp == kSrvUnreadable)
        return false;
    if (cmp == 0) {
        suppressKnownAnswer(r, rec);
        return false;
    }
    const bool probing = probeState_ >= kProbeRestart && probeState_ <= kProbeAnnounceDue;
    if ((probing && section == kSectionAnswer) || cmp > 0) {
        renameOnConflict();
        return true;
    }
    if (conflictSeen_[kind] && now - conflictTick_[kind] < kConflictThrottle)
        return true;
    conflictSeen_[kind] = true;
    conflictTick_[kind] = now;
    probeState_ = kProbeRestart;
    return false;
}

// Questions, answers and authority records; false when the message runs
// outside its datagram (what was marked so far stays).
bool BonjourResponder::parseMessage(const MdnsReader& r, uint64_t now, bool* conflict)
{
    const MdnsNames own = names(0);
    int pos = kDnsHeaderSize;
    for (int section = kSectionQuestion; section <= kSectionAuthority; ++section) {
        for (int i = 0; i < r.count(section); ++i) {
            MdnsRecordView rec;
            pos = r.parseRecord(pos, section, rows_, kRows, own, &rec);
            if (pos < 0)
                return false;
            if (section == kSectionQuestion)
                markRecords(rec, now);
            else if (checkRecord(r, rec, section, now))
                *conflict = true;
        }
    }
    return true;
}

void BonjourResponder::answerPending(uint64_t now)
{
    uint8_t v = 0;
    for (int row = 0; row < kRows; ++row) {
        if (rowActive(row))
            v |= rows_[row].pending;
    }
    if (v == 0)
        return;
    if ((v & kRecPtr) && answerDeadline_ > now) {
        if (v & kImmediateBits)
            send(kMdnsImmediateAnswer, nullptr);
        return;
    }
    send(kMdnsAnswer, nullptr);
}

void BonjourResponder::handleMessage(const uint8_t* data, int length, uint16_t srcPort, uint64_t now)
{
    MdnsReader r(data, length);
    if (!r.hasHeader())
        return;
    int total = 0;
    for (int s = 0; s < 4; ++s)
        total += r.count(s);
    if (total > kMaxRecords)
        return;
    const bool truncated = (r.flags() & kDnsFlagTruncated) != 0;
    bool conflict = false;
    if (!parseMessage(r, now, &conflict))
        return;
    if (conflict) {
        probeState_ = 0;
        clearRowBits();
        return;
    }
    if (truncated)
        return;
    if (srcPort != kMdnsPort) {
        MdnsQuery q{r.id(), r.flags()};
        send(kMdnsLegacyReply, &q);
    }
    answerPending(now);
}
