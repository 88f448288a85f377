// SLPv1 service requests for the box's service type and their replies. A
// request may carry a device name and a new address, netmask and gateway,
// which the box takes only while it has nothing but its link-local address.
// Every field is read against the received length; nothing of a request
// that does not fit is used.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kSlpHeaderSize = 12;
constexpr int kSlpMinRequest = 16;       // header and both length fields
constexpr int kSlpMaxPredicate = 1024;
constexpr int kSlpReplyFixed = 20;       // header, error, count, lifetime, URL length
constexpr uint16_t kSlpLifetime = 10800;
constexpr const char* kSlpServiceType = "service:x-vekps:";

struct SlpRequest {
    bool hasName = false;
    char name[121] = "";
    // Network order; each only when given in full.
    bool hasAddress = false, hasMask = false, hasGate = false;
    uint32_t address = 0, mask = 0, gate = 0;
};

// 1 when the datagram is an SLPv1 service request (version 1, function 1).
bool isSlpServiceRequest(const uint8_t* msg, int length);
// Reads the predicate and its parameters; false: no reply.
bool parseSlpRequest(const uint8_t* msg, int length, SlpRequest* out);
// The parameter part of a predicate (after "service:x-vekps:" and two
// slashes); false when the predicate does not name the service.
bool parseSlpPredicate(const char* predicate, SlpRequest* out);

// What the box does with a request.
enum class SlpDecision {
    NoReply,   // another device's name
    Reply,     // the plain URL
    Limited,   // a change was asked for and refused: ";x-limited-access"
    Apply,     // take the new address, then reply
};
// current: `ip_addr` (network order), currentLinkLocal: it is 169.254/16.
SlpDecision decideSlpRequest(const SlpRequest& req, const char* defaultName, uint32_t current, bool currentLinkLocal);

// An address the box can be reached at: not unspecified, broadcast,
// loopback, multicast or class E (network order).
bool isAssignableAddress(uint32_t address);

// The reply, written into out (capacity bytes): the request's header with
// function 2 and the reply body with the URL. Its length, 0 when it does
// not fit.
int writeSlpReply(const uint8_t* request, const char* url, uint8_t* out, int capacity);
