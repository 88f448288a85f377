// BonjourResponder: the decisions of the mDNS/DNS-SD responder without its
// sockets: probing and the announcement, which records a received message
// asks for, known-answer suppression, conflicts and renaming, and when
// answers go out. The task around it (bonjour_task.h) receives and sends;
// time comes in as board ticks, so tests drive it directly.
#pragma once

#include <cstdint>

#include "services/mdns/bonjour_names.h"
#include "services/mdns/mdns_reader.h"
#include "services/mdns/mdns_writer.h"

// What a sent message answers: a legacy querier's message id and flags.
struct MdnsQuery {
    uint16_t id = 0;
    uint16_t flags = 0;
};

class BonjourResponder;

// Builds a message of a kind with the responder's writer and sends it; for
// a legacy reply the query is given and the reply goes to its sender.
class MdnsSender {
public:
    virtual ~MdnsSender() = default;
    virtual int sendMessage(BonjourResponder& responder, int kind, const MdnsQuery* legacy) = 0;
};

enum : int {
    kProbeRestart = -1,
    kProbeAnnounceDue = 3,
    kProbeAnnounced = 4,
};

class BonjourResponder {
public:
    static constexpr int kRows = 2;
    static constexpr uint64_t kProbeInterval = 25;
    static constexpr uint64_t kConflictThrottle = 50;
    static constexpr int kMaxRecords = 100;

    explicit BonjourResponder(MdnsSender* sender);

    // Probe state 0, no answer pending; full: also no instance name, rename
    // number 0 and the host label from the product's default name.
    void resetState(bool full);
    // The start of a run: probing from the beginning, no record bits, the
    // web server's ports, and the instance name from `bonjour_name`.
    void startRun(uint64_t now);
    void loadInstanceName();
    void buildInstanceName();

    // One probe step: host and service probes 25 ticks apart, then the
    // announcement.
    void probeStep(uint64_t now);
    // How long to wait for a datagram: ticks, or 0 for no limit.
    int64_t waitTicks(uint64_t now) const;
    // The wait ended without a datagram.
    void onIdle(uint64_t now);
    // A datagram from srcPort.
    void handleMessage(const uint8_t* data, int length, uint16_t srcPort, uint64_t now);
    // Withdraws the PTR records from every cache.
    void sayGoodbye();

    // The names messages are written with, the A record carrying address
    // (network order).
    MdnsNames names(uint32_t address) const;
    MdnsWriter& writer() { return writer_; }
    const MdnsServiceRow& row(int i) const { return rows_[i]; }

    // The rows' record bits, kept so that one message can be built again
    // for another place (building takes the bits it writes).
    struct RowBits {
        uint8_t pending[kRows];
        uint8_t additional[kRows];
    };
    RowBits rowBits() const;
    void setRowBits(const RowBits& bits);

    int probeState() const { return probeState_; }
    uint64_t answerDeadline() const { return answerDeadline_; }
    int renameNumber() const { return renameNumber_; }
    const char* instanceName() const { return instanceName_; }
    const char* hostLabel() const { return hostLabel_; }

private:
    InstanceNameInputs nameInputs(const char* configured) const;
    int send(int kind, const MdnsQuery* legacy);
    void clearRowBits();
    bool rowActive(int row) const;
    void renameOnConflict();
    void nextAnswerDeadline(uint64_t now);
    void markRecords(const MdnsRecordView& q, uint64_t now);
    bool checkRecord(const MdnsReader& r, const MdnsRecordView& rec, int section, uint64_t now);
    int compareRecord(const MdnsReader& r, const MdnsRecordView& rec, int* kind) const;
    void suppressKnownAnswer(const MdnsReader& r, const MdnsRecordView& rec);
    bool parseMessage(const MdnsReader& r, uint64_t now, bool* conflict);
    void answerPending(uint64_t now);

    MdnsSender* sender_;
    MdnsServiceRow rows_[kRows];
    MdnsWriter writer_;
    int renameNumber_ = 0;
    char hostLabel_[kInstanceNameSize] = "";
    char instanceName_[kInstanceNameSize] = "";
    int probeState_ = 0;
    uint64_t probeTimer_ = 0;
    int probeCount_ = 0;
    uint64_t answerDeadline_ = 0;
    int delayIndex_ = 0;
    uint64_t conflictTick_[2] = {0, 0};  // address records, SRV records
    bool conflictSeen_[2] = {false, false};
};

// The instance name the running responder announces (a copy; "" when
// none has been built).
void currentBonjourName(char* out, size_t size);
