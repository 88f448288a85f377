// Connection: the program's one socket object. TCP listeners and client
// connections, UDP sockets, unix datagram sockets and packet sockets are all
// Connections. A connection belongs to a task: every wait on its socket also
// watches the owner's message pipe and serves the messages on the waiting
// thread, so a task blocked in a receive, an accept or a connect still reacts,
// and a network change (MSG_NETWORK_CHANGED) ends the wait so the task can
// rebuild its sockets. A socket can be tied to a network interface and one of
// its VLANs: it is bound to the device "eth0" or "eth0.<vlan>".
//
// Time-outs are ticks of 1/100 s unless a name says otherwise; a negative
// time-out waits without limit. Results below 0 are the shared result codes.
//
// A connection is used by one thread at a time, its owner task's thread.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <string>

#include "core/addr/sock_addr.h"

class ByteBuffer;
class NetInterface;
class Task;

// Result codes shared by every caller of the socket layer.
enum : int {
    kConnNoSocket = -19,   // fd negative
    kConnTimedOut = -2,    // the wait timed out (error state 1)
    kConnPeerClosed = -3,  // read returned 0
    kConnBroken = -4,      // read or write failed (error state 2)
};

// Connection::state
enum : int {
    kConnClosed = 0,
    kConnListening = 1,
    kConnConnected = 3,
};

// Connection::errorState
enum : int {
    kConnErrorNone = 0,
    kConnErrorTimeout = 1,
    kConnErrorBroken = 2,
};

// Sizes chosen for one Ethernet frame or one TLS record.
constexpr int kDatagramBlockSize = 4000;
constexpr int kDatagramMinFree = 1500;
constexpr int kFileBlockSize = 7300;
constexpr int kReadChunkSize = 2048;
// Pieces of at most this much in all go through TLS as one record.
constexpr int kSmallFrameSize = 4096;

// Longest wait for a send buffer that does not drain: a peer that stops
// reading for this long is given up (send then fails with -1).
constexpr int64_t kSendStallTicks = 6000;

class Connection {
public:
    Connection(Task* owner, NetInterface* iface, int vlanId);
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opening and binding; 1 or 0 unless said otherwise.

    // Closes an open socket first. An IPv6 socket that cannot be made is
    // made as IPv4 instead (family becomes AF_INET).
    int open(int family, int type, int protocol);
    // 1 when a descriptor was open and closed.
    int close();
    int setReuseAddr();
    int setNonBlocking();
    int setBlocking();
    // SO_BINDTODEVICE to this connection's device ("eth0", "eth0.<vlan>",
    // or "NoIFace" without an interface).
    int bindToDevice();
    // The device name bindToDevice uses, at most 15 characters.
    void deviceName(char* buffer, size_t size) const;
    // IPv6: "::". IPv4: with a VLAN slot of 1 or more `ip4vlan_addr_<slot>`
    // (0.0.0.0 when that parameter is not visible); without a slot 0.0.0.0
    // when any is set, else the interface's address on this VLAN.
    int bind(int port, bool any, int vlanSlot);
    int listen(int backlog);
    // accept() of the listening descriptor into this object.
    int acceptFrom(int listenFd);
    // Waits on this listener (serving the owner's messages) and returns the
    // accepted connection; null when the wait ended by a network change or
    // the accept or the TLS handshake failed (errno as accept left it).
    Connection* acceptNew(bool tls);
    // Connects to the peer address. A non-blocking stream socket waits for
    // the connection up to timeoutTicks (0: until the kernel gives up).
    int connect(int timeoutTicks);
    // connect, then for tls the client handshake.
    int connectWithTls(int timeoutTicks, bool tls);
    // The local address when set, else the interface's on this VLAN.
    int localAddress(SockAddr* out);

    // Waiting: 1 when the socket is ready. 0 otherwise, with kConnNoSocket,
    // kConnTimedOut or -errno stored in *error; a wait ended by a remaining
    // MSG_NETWORK_CHANGED stores nothing. A zero time-out only looks: it
    // serves no message. wait4write with time-out 0 never refuses (1).
    int wait4read(int64_t ticks, int* error, bool retryOnEintr);
    int wait4write(int64_t ticks, int* error, bool retryOnEintr);

    // Datagrams: bytes received, 0, or -1 (also for a datagram that fills
    // the whole free space: it may have been cut).
    int receive(ByteBuffer* buffer, int64_t ticks);
    // write() when connected, else sendto() the peer; bytes sent or -errno.
    int sendAll(const void* data, int length, bool once);

    // Stream reads: bytes read, 0, or a result code.
    int readAvailable(ByteBuffer* buffer, int64_t ticks, bool grow);
    int receiveBuffer(ByteBuffer* buffer, int64_t ticks);
    int receiveBytes(void* bytes, int size, int64_t ticks);
    // What has arrived, up to size, in as few calls as it allows: one read
    // when bytes are waiting, a wait of at most ticks only when none are.
    // Bytes read, or a result code (0 when the wait ended without data).
    int receiveSome(void* bytes, int size, int64_t ticks);
    // One read of at most 2048 bytes; 0 when the wait failed or nothing was
    // there, -1 when the read failed or the peer closed.
    int readChunk(ByteBuffer* buffer, int64_t ticks);

    // Stream writes. send: bytes sent, -1 when a wait failed, -4 when the
    // connection broke. A time-out of 0 waits for a full send buffer to drain
    // for at most kSendStallTicks.
    int send(const void* data, int length, int timeoutTicks, bool once);
    // Sends every piece completely, in order, without gathering them into
    // one buffer first: bytes sent or the failing result (-1 also when the
    // socket stayed full longer than timeoutTicks; 0 means kSendStallTicks).
    int sendv(const iovec* pieces, int count, int timeoutTicks = 0);
    // One writev() on the descriptor, nothing else.
    ssize_t writev(const iovec* pieces, int count);
    // 1 when the whole file was sent.
    int sendFile(int fileFd);

    // Datagram options.
    int setMulticastTtl(int ttl);
    int disableMulticastLoop();
    // Only groups this socket joined itself are delivered to it (the kernel
    // otherwise hands every multicast datagram for the port to it too).
    int disableMulticastAll();
    int setDontRoute();

    // Datagram socket bound for a multicast group (bound to group:port and
    // member of it on this VLAN's device) or, with 255.255.255.255, for
    // broadcast (bound to 0.0.0.0:port).
    int bindUdp(int port, const SockAddr& group, bool dontRoute);
    int bindDatagram(int port, bool broadcast, bool dontRoute, bool any);

    // Unix datagram sockets. A null path binds a generated name under
    // "/var", removed again when the socket closes.
    int openUnixDgram(const char* path);
    int connectUnix(const char* path);

    // Packet sockets.
    int interfaceIndex();
    int bindPacket(int ifIndex, const uint8_t mac[6]);
    int sendPacket(const void* data, int length, bool once);

    // The usual end of any connection: the TLS session (if any) is ended
    // without a close-notify, then the object is deleted.
    void closeSession();

    // The plain record.
    int port = 0;                 // host order
    int family = 0;               // AF_INET, AF_INET6, AF_UNIX, AF_PACKET; 0 before open
    int type = 0;                 // SOCK_STREAM, SOCK_DGRAM, or the packet type
    int fd = -1;
    int vlanId;                   // negative: the untagged interface
    NetInterface* iface;          // may be null
    int state = kConnClosed;
    SockAddr local;               // a packet socket keeps its link-layer record here
    SockAddr peer;
    Task* owner;                  // whose messages the waits serve; may be null
    int errorState = kConnErrorNone;
    uint32_t flags = 0;
    uint32_t bytesSent = 0;       // by send and sendv

protected:
    // The TLS seam. A plain connection has no session: these answer so and
    // the handshakes fail. The TLS form overrides them.
    virtual bool hasSession() const { return false; }
    // Decrypted bytes waiting in the session.
    virtual int sessionPending() { return 0; }
    // Bytes read (above 0), or kConnBroken.
    virtual int sessionRead(void* buffer, int size);
    // Bytes written (above 0), or the failing write's result.
    virtual int sessionWrite(const void* data, int size);
    // Ends the session without a close-notify; the descriptor is closed.
    virtual void endSession() {}
    // 1 when the handshake completed and the session is stored.
    virtual int serverHandshake() { return 0; }
    virtual int clientHandshake() { return 0; }

private:
    // One wait for events (POLLIN or POLLOUT) on the socket, serving the
    // owner's messages. 1 ready; 0 with *error as the public waits say.
    int waitForSocket(short events, int64_t ticks, int* error, bool retryOnEintr);
    int waitWithoutOwner(short events, int64_t ticks, int* error, bool retryOnEintr);
    int waitServingOwner(short events, int64_t ticks, int* error);
    int waitForWritable(int64_t ticks);
    int sendSessionPieces(const iovec* pieces, int count);
    int connectStream(int timeoutTicks, socklen_t length);
    int readOnce(ByteBuffer* buffer, int count);
    int writeOnce(const void* data, int size);

    std::string unixName_;  // generated unix socket name to remove on close
};

// The form of connection that listeners and accepted connections take. The
// TLS layer installs its own so that those can carry a session; without it
// they are plain connections.
using ConnectionFactory = Connection* (*)(Task* owner, NetInterface* iface, int vlanId);
void setServerConnectionFactory(ConnectionFactory factory);
Connection* newServerConnection(Task* owner, NetInterface* iface, int vlanId);

// A listener for port on one interface and one VLAN slot: slot 0 the
// untagged interface (IPv6 when the kernel has it, taking IPv4 peers too),
// slots 1 to `usb_ports_phy` the port VLANs, any higher slot the management
// VLAN. Null when the slot is not enabled or the socket cannot be set up.
Connection* createTcpServer(Task* owner, int port, NetInterface* iface, int vlanSlot);

// Accepts on a listener that polled readable, without any wait (a wait
// would serve the owner's messages in the middle of its batch of events)
// and without a TLS handshake: that is the accepted connection's own task's
// business. The connection, of the listener's form, or null.
Connection* acceptReady(Connection* listener);

// Binds a socket made elsewhere (SNMP transports, SNTP) to the management
// interface. 0 on success or for a descriptor below 1, -1 when the option
// fails.
int force2face(int fd);

// TCP options on a descriptor. A descriptor above 256 is reported first
// (the box has few); the option is set all the same.
int get_maxseg(int fd);
int set_maxseg(int fd, int value);
int set_nagleon(int fd);
