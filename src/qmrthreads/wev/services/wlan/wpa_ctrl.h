// The supplicant's control protocol: one command per datagram on a unix
// datagram socket, one answer per datagram. Events arrive on an attached
// socket as datagrams that begin with "<" and a priority digit.
#pragma once

#include <cstdint>

class Connection;
class Task;

// Kinds of supplicant the program starts.
enum : int {
    kWpaWired = 0,  // IEEE 802.1X on "eth0", driver "wired"
    kWpaWlan = 1,   // WLAN on "wlan0", driver "wext"
};

// The supplicant answers at most this much in one datagram.
constexpr int kWpaReplyMax = 4096;
// Longest SET_NETWORK command.
constexpr int kWpaSetNetworkMax = 256;

// Waits before a command may be written and for its answer (ticks).
constexpr int64_t kWpaWriteWaitTicks = 100;
constexpr int64_t kWpaAnswerWaitTicks = 400;

// "/var/wifi/wlan0" or "/var/wifi/eth0" (a box path).
const char* wpaSocketPath(int kind);
const char* wpaInterfaceName(int kind);

// A unix datagram connection of owner to the supplicant of kind, up to
// attempts tries one second apart (the waits serve owner's messages). Null
// when no socket answered. With slot, the connection is kept there while the
// attempts wait (the owner deletes it, also when a stop message ends its
// thread in between).
Connection* connectSupplicant(Task* owner, int kind, int attempts, Connection** slot = nullptr);

// Writes the command as one datagram and reads the answer (at most size
// bytes, not terminated). Event datagrams that arrive meanwhile are passed
// over. The answer's length; -1 when writing failed, -2 when no answer came.
int wpaCtrlRequest(Connection* conn, const char* command, int length, char* reply, int size,
                   int64_t answerTicks = kWpaAnswerWaitTicks);

// 0 exactly when the answer is "OK\n", else -1.
int wpaCtrlCommand(Connection* conn, const char* command, int length);

// "SET_NETWORK <id> <value>". A command longer than kWpaSetNetworkMax is not
// sent (a cut value could still be accepted): -1. Else wpaCtrlCommand's result.
int wpaSetNetwork(Connection* conn, const char* networkId, const char* value);
