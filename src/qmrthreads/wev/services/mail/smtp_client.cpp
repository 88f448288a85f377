#include "services/mail/smtp_client.h"

#include "core/addr/sock_addr.h"
#include "core/cert/cert_smime.h"
#include "core/i18n/texts.h"
#include "core/i18n/translatable.h"
#include "core/net/connection.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/task/task.h"
#include "core/task/tick_clock.h"
#include "core/tls/tls_connection.h"
#include "core/util/byte_buffer.h"
#include "services/mail/mail_text.h"
#include "services/mail/smtp_reply.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

namespace {

constexpr int kConnectTicks = 1000;
constexpr int64_t kReplyTicks = 3000;
constexpr int kSendTicks = 6000;
constexpr uint64_t kResolveQuietTicks = 3000;  // the network may not be up before
constexpr uint64_t kConnectQuietTicks = 400;
constexpr size_t kMaxCommand = 1000;  // RFC 5321 line limit
constexpr int kMaxNamedRecipients = 16;

std::atomic<int> progress{kMailInitialized};
std::atomic<int> lastError{kMailNoError};
std::atomic<int> mailsSent{0};
std::mutex tlsInfoMutex;
std::string tlsInfo;

void raiseProgress(int code)
{
    int now = progress.load();
    while (code > now && !progress.compare_exchange_weak(now, code)) {
    }
}

std::string paramText(StringParam* p)
{
    if (!p)
        return std::string();
    std::shared_ptr<const std::string> v = p->value();
    return v ? mailHeaderText(*v) : std::string();
}

std::string firstOf(std::initializer_list<StringParam*> params)
{
    for (StringParam* p : params) {
        std::string text = paramText(p);
        if (!text.empty())
            return text;
    }
    return std::string();
}

class SmtpSession {
public:
    ~SmtpSession() { close(); }

    bool connect(const SockAddr& server, int port);
    bool startTls();
    // Sends text (when not empty) and reads the reply: its code, or -1.
    int command(const std::string& text);
    bool send(const std::string& data);
    void close();
    std::string describeTls() const;

private:
    int readReply();

    TlsConnection* conn_ = nullptr;
    std::string pending_;
};

bool SmtpSession::connect(const SockAddr& server, int port)
{
    const int vlan = params::ip4vlan_mgmt()->isOn() ? params::ip4vlan_mgmt_id()->value() : -1;
    conn_ = new TlsConnection(Task::current(), &wiredInterface(), vlan);
    conn_->peer = server;
    if (!conn_->open(server.family() == AF_INET6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0))
        return false;
    conn_->peer = server;
    if (server.family() == AF_INET6)
        conn_->peer.in6.sin6_port = htons(static_cast<uint16_t>(port));
    else
        conn_->peer.in4.sin_port = htons(static_cast<uint16_t>(port));
    if (vlan >= 0)
        conn_->bindToDevice();
    conn_->setNonBlocking();
    return conn_->connectWithTls(kConnectTicks, false) == 1;
}

bool SmtpSession::startTls()
{
    return conn_ && conn_->tlsClientHandshake() != nullptr;
}

int SmtpSession::readReply()
{
    ByteBuffer chunk;
    for (;;) {
        size_t used = 0;
        if (int code = smtpReplyCode(pending_.data(), pending_.size(), &used)) {
            pending_.erase(0, used);
            return code;
        }
        if (pending_.size() > 64 * 1024 || conn_->readChunk(&chunk, kReplyTicks) <= 0)
            return -1;
        pending_.append(static_cast<const char*>(chunk.memory), static_cast<size_t>(chunk.length));
    }
}

int SmtpSession::command(const std::string& text)
{
    if (!conn_)
        return -1;
    if (!text.empty() && !send(text))
        return -1;
    return readReply();
}

bool SmtpSession::send(const std::string& data)
{
    return conn_ && conn_->send(data.data(), static_cast<int>(data.size()), kSendTicks, false)
                        == static_cast<int>(data.size());
}

void SmtpSession::close()
{
    if (!conn_)
        return;
    if (conn_->state != kConnClosed && send("QUIT\r\n"))
        readReply();
    conn_->closeSession();
    conn_ = nullptr;
}

std::string SmtpSession::describeTls() const
{
    char text[140] = "";
    if (conn_)
        conn_->describeTls(text, sizeof text);
    return text;
}

std::string heloName()
{
    std::string domain = paramText(params::dns_domain());
    if (!domain.empty() && domain.size() <= 119)
        return domain;
    return params::ip_addr()->text();
}

bool resolveServer(SockAddr* server)
{
    for (StringParam* name : {params::smtp_srv(), params::pop3_srv()}) {
        std::string text = paramText(name);
        if (!text.empty() && server->resolve(text.c_str()))
            return true;
    }
    return false;
}

bool greetAndHello(SmtpSession& s)
{
    const std::string ehlo = "EHLO " + heloName() + "\r\n";
    if (s.command("") != 220 || s.command(ehlo) != 250)
        return false;
    if (!params::smtp_ssl()->isOn())
        return true;
    return s.command("STARTTLS\r\n") == 220 && s.startTls() && s.command(ehlo) == 250;
}

void authenticate(SmtpSession& s)
{
    if (!params::smtp_auth()->isOn())
        return;
    const std::string user = firstOf({params::smtp_usr(), params::pop3_usr()});
    std::shared_ptr<const std::string> pwd = params::smtp_pwd()->value();
    std::string password = pwd ? *pwd : std::string();
    if (password.empty() && params::pop3_pwd()->value())
        password = *params::pop3_pwd()->value();
    if (user.empty() || password.empty())
        return;
    // Each step only when the one before succeeded; a refusal is recorded
    // and the mail is still offered.
    bool ok = s.command("AUTH LOGIN\r\n") == 334 && s.command(base64Line(user) + "\r\n") == 334
              && s.command(base64Line(password) + "\r\n") == 235;
    if (!ok)
        lastError.store(kMailAuthFailed);
}

bool openSession(SmtpSession& s)
{
    SockAddr server;
    if (!resolveServer(&server)) {
        if (boardTicks() > kResolveQuietTicks)
            lastError.store(kMailDnsFailed);
        return false;
    }
    raiseProgress(kMailDnsDone);
    if (!s.connect(server, params::smtp_port()->value()) || !greetAndHello(s)) {
        if (boardTicks() > kConnectQuietTicks)
            lastError.store(kMailTcpConnectFailed);
        return false;
    }
    raiseProgress(kMailTcpConnectDone);
    authenticate(s);
    std::lock_guard<std::mutex> lock(tlsInfoMutex);
    tlsInfo = s.describeTls();
    return true;
}

std::string dateHeader()
{
    time_t t = time(nullptr);
    struct tm local {};
    char text[96] = "";
    if (localtime_r(&t, &local))
        strftime(text, sizeof text, "Date: %a, %d %b %Y %X %z (%Z)\r\n", &local);
    return text;
}

std::string headerBlock(const std::vector<std::string>& to, const MailSender& from, const std::string& subject)
{
    std::string h = "To:";
    for (size_t i = 0; i < to.size() && i < kMaxNamedRecipients; ++i)
        h += (i ? ",\r\n " : "") + to[i];
    h += "\r\nFrom: " + from.local + " <" + from.local + "@" + from.domain + ">\r\n";
    h += "Subject: " + mailHeaderText(subject) + "\r\n";
    return h + dateHeader();
}

int refuse(int code)
{
    lastError.store(code);
    return 0;
}

bool sendEnvelope(SmtpSession& s, const std::vector<std::string>& to, const std::string& subject)
{
    const MailSender from = mailSender();
    const std::string mailFrom = "MAIL FROM: <" + from.local + "@" + from.domain + ">\r\n";
    if (mailFrom.size() > kMaxCommand || s.command(mailFrom) != 250)
        return refuse(kMailFromFailed);
    for (const std::string& r : to) {
        const std::string rcpt = "RCPT TO:<" + r + ">\r\n";
        if (rcpt.size() > kMaxCommand || s.command(rcpt) != 250)
            return refuse(kMailRcptFailed);
    }
    if (s.command("DATA\r\n") != 354)
        return refuse(kMailDataFailed);
    return s.send(headerBlock(to, from, subject));
}

std::string smimeFailureText()
{
    return std::string("\r\n\r\n  S/MIME failure.\r\n") + "\r\n  Check the device configuration. For further "
           "information; see: " + mailHeaderText(productInfo().product_name) + " User Manual.\r\n";
}

// The MIME part: plain text, or the S/MIME form of it.
std::string mimeBody(const char* body, size_t length)
{
    if (!params::smtp_sign()->isOn())
        return "MIME-Version: 1.0\r\nContent-Type: text/plain;\r\n charset=utf-8\r\n\r\n" + std::string(body, length);
    ByteBuffer in;
    ByteBuffer out;
    if (!in.reserve(static_cast<int>(length) + 1))
        return smimeFailureText();
    memcpy(in.memory, body, length);
    in.length = static_cast<int>(length);
    if (!smimeProcess(&in, &out) || out.length <= 0)
        return smimeFailureText();
    return std::string(static_cast<const char*>(out.memory), static_cast<size_t>(out.length));
}

} // namespace

MailSender mailSender()
{
    std::string sender = firstOf({params::smtp_sender(), params::pop3_usr(), params::smtp_usr(), params::sys_name()});
    if (sender.empty())
        sender = "anonymous";
    MailSender m;
    const size_t at = sender.find('@');
    if (at != std::string::npos) {
        m.local = sender.substr(0, at);
        m.domain = sender.substr(at + 1);
    } else {
        m.local = sender;
        m.domain = firstOf({params::smtp_srv(), params::pop3_srv()});
    }
    if (m.domain.empty())
        m.domain = params::ip_addr()->text();
    return m;
}

bool sendSmtpMail(const std::vector<std::string>& recipients, const std::string& subject, const char* body,
                  size_t bodyLength)
{
    std::vector<std::string> to;
    for (const std::string& r : recipients) {
        std::string clean = mailHeaderText(r);
        if (!clean.empty())
            to.push_back(clean);
    }
    if (to.empty())
        return false;
    SmtpSession s;
    if (!openSession(s) || !sendEnvelope(s, to, subject))
        return false;
    const std::string mime = mimeBody(body, bodyLength);
    if (!s.send(dotStuffedBody(mime.data(), mime.size())) || s.command("\r\n.\r\n") != 250)
        return refuse(kMailSendFailed);
    mailsSent.fetch_add(1);
    raiseProgress(kMailWorking);
    return true;
}

SmtpStatus smtpStatus()
{
    std::lock_guard<std::mutex> lock(tlsInfoMutex);
    return SmtpStatus{progress.load(), lastError.load(), mailsSent.load(), tlsInfo};
}

const char* mailStatusText(int code)
{
    static const char* const kTexts[] = {
        translatable("No error"), translatable("Initialized"), translatable("DNS done"),
        translatable("TCP connect done"), translatable("Server contacted"), translatable("Login done"),
        translatable("Working"), translatable("TCP connection closed"), translatable("APOP login failed"),
        translatable("APOP build MD5 xsum failed"), translatable("TCP connect failed"),
        translatable("Send email DATA command failed"), translatable("DEL command failed"),
        translatable("DNS request failed"), translatable("LIST command failed"), translatable("Login failed"),
        translatable("Memory fault"), translatable("Send FROM failed"), translatable("SMTP Authentication failed"),
        translatable("Pop emails failed"), translatable("Password failed"), translatable("RCPT command failed"),
        translatable("RETR command failed"), translatable("Scan email failed"), translatable("Send email failed"),
        translatable("Get STAT failed"), translatable("Scan STAT failed"), translatable("USER command failed")};
    if (code < 0 || code >= static_cast<int>(sizeof kTexts / sizeof kTexts[0]))
        return getmuText("unknown");
    return getmuText(kTexts[code]);
}
