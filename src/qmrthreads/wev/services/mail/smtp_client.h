// Sending one mail over SMTP: connect (plain, then STARTTLS when `smtp_ssl`
// is on), EHLO, AUTH LOGIN when `smtp_auth` is on, the envelope, the header
// block and a MIME or S/MIME body, QUIT. One connection per mail.
//
// Every value from outside (parameters, device strings in the body) is made
// safe on its way: control characters never reach a command or a header,
// and the body is dot-stuffed.
#pragma once

#include <string>
#include <vector>

// Status codes of the mail side (the e-mail page shows their texts).
enum MailStatus {
    kMailNoError = 0,
    kMailInitialized = 1,
    kMailDnsDone = 2,
    kMailTcpConnectDone = 3,
    kMailWorking = 6,
    kMailTcpConnectFailed = 10,
    kMailDataFailed = 11,
    kMailDnsFailed = 13,
    kMailMemoryFault = 16,
    kMailFromFailed = 17,
    kMailAuthFailed = 18,
    kMailRcptFailed = 21,
    kMailSendFailed = 24,
};

// The text of a status code; "unknown" outside 0..27.
const char* mailStatusText(int code);

struct SmtpStatus {
    int progress;  // highest progress code reached
    int error;     // last failure, never cleared
    int sent;      // mails the server accepted
    std::string tlsInfo;  // TLS description of the last session set up
};
SmtpStatus smtpStatus();

// Sends one mail to the recipients. true when the server accepted it.
bool sendSmtpMail(const std::vector<std::string>& recipients, const std::string& subject, const char* body,
                  size_t bodyLength);

// The envelope sender's local part and domain as the parameters give them
// (`smtp_sender`, `pop3_usr`, `smtp_usr`, `sys_name`, "anonymous"; the
// domain after '@', else `smtp_srv`, `pop3_srv` or the IPv4 address).
struct MailSender {
    std::string local;
    std::string domain;
};
MailSender mailSender();
