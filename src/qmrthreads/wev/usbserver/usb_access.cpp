#include "usbserver/usb_access.h"

// DES crypt is deprecated as a cipher, but the port keys' crypt answers are
// the protocol's. DES_fcrypt writes into the caller's buffer (crypt() would
// share one static buffer between the session threads) and takes every salt
// character as the traditional algorithm does.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#include <openssl/evp.h>

#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/board/board_device.h"
#include "core/net/connection.h"
#include "core/params/param.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_poll_record.h"
#include "usbserver/usb_scan.h"
#include "usbserver/usb_session_io.h"

namespace {

constexpr int kMaxPort = 20;
// The model whose port 1 is a memory card reader.
constexpr uint32_t kCardReaderProduct = 337;
// The key characters a nonce selects; only the first 64 are ever chosen.
const char kKeyAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/?";
// The digest covers at most this much of the key text.
constexpr size_t kDigestKeyMax = 67;
// "vvvv:pppp"
constexpr size_t kIdPairLength = 9;

char keyChar(uint32_t x)
{
    return kKeyAlphabet[x & 63];
}

bool modeIs(const P3List* mode, const char* a, const char* b)
{
    return mode && (mode->equalsToken(a) || mode->equalsToken(b));
}

bool isOn(const BoolParam* p)
{
    return p && p->isOn();
}

// The key text of a port that needs one, else "".
std::string portKey(int port)
{
    const P3List* mode = params::zyt_accctrl(port);
    const StringParam* key = params::zyt_keyval(port);
    if (!mode || !key || !modeIs(mode, "key", "keyids"))
        return std::string();
    std::shared_ptr<const std::string> value = key->value();
    return value ? *value : std::string();
}

bool isIdCharacter(char c)
{
    return c == ':' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// pair occurs in list as a whole item, not as part of a longer one.
bool listsWholeItem(const std::string& list, const char* pair)
{
    for (size_t at = list.find(pair); at != std::string::npos; at = list.find(pair, at + 1)) {
        bool startsItem = at == 0 || !isIdCharacter(list[at - 1]);
        size_t end = at + kIdPairLength;
        bool endsItem = end == list.size() || !isIdCharacter(list[end]);
        if (startsItem && endsItem)
            return true;
    }
    return false;
}

int portsPhy()
{
    return static_cast<int>(productInfo().usb_ports_phy);
}

// Whether a port may appear in this session's device list, apart from the
// row: key, card reader, VLAN.
bool portListable(int port, uint32_t nonce, const UsbKeyList& keys, const UsbPollRecord* session)
{
    return checkPortKey(port, nonce, keys) && !isCardReaderHidden(port) && isPortOnVlan(port, session);
}

} // namespace

bool portNeedsKey(int port)
{
    return !portKey(port).empty();
}

int portKeyCrypt(int port, uint32_t nonce, char out[kUsbCryptAnswerSize])
{
    std::string key = portKey(port);
    if (key.empty())
        return 0;
    const char salt[3] = {keyChar(nonce ^ (nonce >> 24)), keyChar((nonce >> 16) ^ (nonce >> 8)), 0};
    char result[14] = {};
    DES_fcrypt(key.c_str(), salt, result);
    memcpy(out, result + 2, kUsbCryptAnswerSize);
    return 1;
}

int portKeySha1(int port, uint32_t nonce, uint8_t out[kUsbDigestAnswerSize])
{
    std::string key = portKey(port);
    if (key.empty())
        return 0;
    std::string text;
    text += keyChar(nonce >> 24);
    text += keyChar(nonce >> 16);
    text += keyChar(nonce >> 8);
    text += keyChar(nonce);
    text.append(key, 0, kDigestKeyMax);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha1(), nullptr) || size != kUsbDigestAnswerSize)
        return -1;
    memcpy(out, digest, kUsbDigestAnswerSize);
    return 1;
}

int checkPortKey(int port, uint32_t nonce, const UsbKeyList& list)
{
    if (!portNeedsKey(port))
        return 1;
    if (list.count > kUsbKeyListMaxChecked)
        return 0;
    for (int i = 0; i < list.count; ++i) {
        const UsbKeyEntry& entry = list.entries[i];
        if (entry.port != port)
            continue;
        if (list.digest) {
            uint8_t expected[kUsbDigestAnswerSize];
            return portKeySha1(port, nonce, expected) == 1
                   && memcmp(expected, entry.answer, kUsbDigestAnswerSize) == 0;
        }
        char expected[kUsbCryptAnswerSize];
        return portKeyCrypt(port, nonce, expected) == 1
               && memcmp(expected, entry.answer, kUsbCryptAnswerSize) == 0;
    }
    return 0;
}

bool isPortOnVlan(int port, const UsbPollRecord* session)
{
    if (!session || !session->connection)
        return false;
    const IntParam* binding = params::zyt_2vlan(port);
    if (!binding)
        return true;
    const int c = binding->value();
    if (c <= 0)
        return true;
    const int vlan = session->connection->vlanId;
    const bool untagged = vlan < 0;
    if (c > portsPhy())
        return untagged;
    const IntParam* id = params::ip4vlan_id(c);
    if (!id)
        return untagged;
    return !untagged && vlan == id->value();
}

bool isVendProdListed(int idVendor, int idProduct, int port)
{
    const StringParam* allowed = params::zyt_vendprodIDs(port);
    if (!allowed)
        return false;
    char pair[16];
    snprintf(pair, sizeof pair, "%04x:%04x", idVendor & 0xffff, idProduct & 0xffff);
    std::shared_ptr<const std::string> list = allowed->value();
    return list && listsWholeItem(*list, pair);
}

bool isVendProdAllowed(int row, int port)
{
    if (!isValidSlot(row))
        return false;
    // The row's own ids, not the published texts: a row whose attach was not
    // published would otherwise be judged by an earlier device's ids.
    const UsbDeviceSlot& slot = usbDeviceTable[row];
    return isVendProdListed(slot.idVendor, slot.idProduct, port);
}

bool isPortAccessAllowed(int row, int port)
{
    if (!isValidSlot(row) || port < 1 || port > kMaxPort)
        return false;
    if (modeIs(params::zyt_accctrl(port), "ids", "keyids"))
        return isVendProdAllowed(row, port);
    return true;
}

bool isPortTlsOnly(int port)
{
    return isOn(params::zyt_sec(port));
}

bool isPortPreReset(int port)
{
    return isOn(params::zyt_prereset(port));
}

bool isCardReaderHidden(int port)
{
    // Only the card-reader model has the reader behind port 1; other boards
    // may answer the request too, with a meaningless 0.
    if (port != 1 || productInfo().product_id != kCardReaderProduct)
        return false;
    uint32_t state = 0;
    return boardDevice().readCardReader(&state) && state == 0;
}

int getOwnerAddress(int row, uint8_t* out, size_t size)
{
    sockaddr_storage peer{};
    socklen_t length = slotOwnerPeer(row, &peer);
    if (length == 0 || size < kUsbOwnerRecordSize)
        return 0;
    uint8_t address[4];
    if (peer.ss_family == AF_INET) {
        memcpy(address, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, 4);
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
        if (!IN6_IS_ADDR_V4MAPPED(&a))
            return 0;
        memcpy(address, &a.s6_addr[12], 4);
    } else {
        return 0;
    }
    encodeUsbOwnerRecord(address, out);
    return static_cast<int>(kUsbOwnerRecordSize);
}

int handleDeviceList(UsbPollRecord* session, const UsbRequestHeader* request)
{
    rescanUsbDevices();

    UsbKeyList keys;
    uint32_t nonce = 0;
    if (request->length >= 1 && request->length <= kUsbKeyListMaxLength) {
        uint8_t body[kUsbKeyListMaxLength];
        if (!readUsbBody(session, body, request->length))
            return -1;
        if (!parseUsbKeyList(body, request->length, &keys))
            return -1;
        nonce = session->nonce;
    }

    // The rules per port first: they read parameters and the board, which
    // need not happen under the list mutex.
    bool listable[kMaxPort + 1] = {};
    for (int port = 1; port <= kMaxPort; ++port)
        listable[port] = portListable(port, nonce, keys, session);

    uint8_t data[kUsbDeviceListHeadSize + kUsbTableRows * kUsbDeviceEntrySize];
    int count = 0;
    lockUsbList(1);
    const int rows = usbRowCount.load();
    for (int row = 0; row < rows && row < kUsbTableRows; ++row) {
        const UsbDeviceSlot& slot = usbDeviceTable[row];
        int state = slot.state.load();
        int port = state == kUsbSlotPresent || state == kUsbSlotConnected ? slot.port : 0;
        if (port < 1 || port > kMaxPort || !listable[port])
            continue;
        encodeUsbDeviceEntry(static_cast<uint8_t>(row), static_cast<uint8_t>(port), static_cast<uint8_t>(slot.speed),
                             slot.deviceDescriptor, data + kUsbDeviceListHeadSize + count * kUsbDeviceEntrySize);
        ++count;
    }
    lockUsbList(0);
    encodeUsbDeviceListHead(count, data);

    UsbReplyHeader reply = usbReplyFor(*request);
    const size_t length = kUsbDeviceListHeadSize + static_cast<size_t>(count) * kUsbDeviceEntrySize;
    reply.length = static_cast<uint32_t>(length);
    if (sendUsbReply(session, reply, data, length) < 0)
        return -1;
    return count;
}

int handlePortStatus(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t body[2];
    if (!readUsbBody(session, body, sizeof body))
        return -1;
    const int row = body[0];
    const int port = body[1];
    if (!isSlotPresent(row, port))
        return sendUsbStatus(session, request, kUsbStatusFailed, ENODEV);

    uint8_t data[4 + kUsbOwnerRecordSize + kUsbOwnerNameMax];
    uint32_t code = 0;
    size_t length = 4;
    if (usbDeviceTable[row].state.load() == kUsbSlotConnected) {
        code |= kUsbPortInUse;
        int record = getOwnerAddress(row, data + length, kUsbOwnerRecordSize);
        length += static_cast<size_t>(record);
        const StringParam* owner = record ? params::usb_owner(row + 1) : nullptr;
        std::shared_ptr<const std::string> text = owner ? owner->value() : nullptr;
        size_t open = text ? text->find('(') : std::string::npos;
        if (open != std::string::npos) {
            size_t n = open < kUsbOwnerNameMax ? open : kUsbOwnerNameMax;
            memcpy(data + length, text->data(), n);
            length += n;
        }
    }
    if (isPortTlsOnly(port))
        code |= kUsbPortTlsOnly;
    if (!isPortAccessAllowed(row, port))
        code |= kUsbPortFiltered;
    usbPutU32(data, code);

    UsbReplyHeader reply = usbReplyFor(*request);
    reply.length = static_cast<uint32_t>(length);
    return sendUsbReply(session, reply, data, length);
}
