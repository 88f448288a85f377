#include "services/pop3/mail_commands.h"

#include "core/params/param.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/util/file_queries.h"
#include "core/util/random_text.h"
#include "services/mail/event_mail.h"
#include "services/mail/status_text.h"
#include "services/pop3/mail_grammar.h"
#include "services/update/firmware_update.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

constexpr int kAttachmentWriteFailed = -5;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmedBlanks(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// A TAN that the system's generator made; the load-time placeholder never
// authorises anything.
bool isUsableTan(const char* tan)
{
    return tan && strlen(tan) == MAIL_TAN_LENGTH;
}

bool nameIsListed(std::string_view name, const std::vector<std::string>* names)
{
    if (!names)
        return true;
    for (const std::string& n : *names) {
        if (name.substr(0, n.size()) == n)
            return true;
    }
    return false;
}

// One "<name> = <value>" line. The name ends at a blank, a tab or '='; the
// value follows the first '=' after that end character, so "name=value"
// without blanks gives no value.
bool splitParameterLine(std::string_view line, std::string_view* name, std::string_view* value)
{
    size_t start = 0;
    while (start < line.size() && isBlank(line[start]))
        ++start;
    size_t end = start;
    while (end < line.size() && !isBlank(line[end]) && line[end] != '=')
        ++end;
    if (end == line.size() || end == start)
        return false;
    const size_t eq = line.find('=', end + 1);
    if (eq == std::string_view::npos)
        return false;
    *name = line.substr(start, end - start);
    *value = trimmedBlanks(line.substr(eq + 1));
    return !value->empty();
}

bool isTanName(std::string_view name)
{
    return name.size() == 3 && strncasecmp(name.data(), "tan", 3) == 0;
}

// The lines of a text part as the reader sees them: quoted-printable and
// base64 decoded into store.
std::vector<std::string_view> decodedTextLines(const MailPart& part, std::string* store)
{
    if (part.transferEncoding != kEncodingBase64)
        return part.lines;
    Base64Decoder decoder;
    for (std::string_view line : part.lines)
        decoder.feed(line, store);
    decoder.finish(store);
    return splitMailLines(*store);
}

// The TAN search of a text part: 1 the TAN is there, 0 not in this part,
// kAttachmentWrongTan a TAN that is not the current one.
int findTanInText(const MailPart& part, const char* tan)
{
    std::string decoded;
    for (std::string_view line : decodedTextLines(part, &decoded)) {
        if (line.size() > 8 && line.substr(0, 3) == "---")
            return 0;
        std::string text(line);
        if (part.transferEncoding == kEncodingQuotedPrintable)
            text.resize(decodeQuotedPrintable(text.data(), text.size()));
        const size_t at = text.find("TAN");
        if (at == std::string::npos)
            continue;
        const size_t eq = text.find('=', at + 3);
        if (eq == std::string::npos)
            continue;
        std::string_view value = trimmedBlanks(std::string_view(text).substr(eq + 1));
        const size_t n = strlen(tan);
        if (value.substr(0, n) != tan || (value.size() > n && !isBlank(value[n])))
            return kAttachmentWrongTan;
        return 1;
    }
    return 0;
}

int writeAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return lseek(fd, 0, SEEK_SET) == 0 ? 0 : -1;
}

// The part's content decoded from base64 into a temporary file.
int attachmentFile(const MailPart& part)
{
    if (part.transferEncoding != kEncodingBase64 && part.transferEncoding != kTokenNone)
        return kAttachmentCorrupted;
    std::string data;
    Base64Decoder decoder;
    for (std::string_view line : part.lines)
        decoder.feed(line, &data);
    if (!decoder.finish(&data) || data.empty())
        return kAttachmentCorrupted;
    const int fd = makeTempFile();
    if (fd < 0)
        return kAttachmentWriteFailed;
    if (writeAll(fd, data) != 0) {
        perror("readUpdateAttachment");
        close(fd);
        return kAttachmentWriteFailed;
    }
    return fd;
}

std::string helpAnswer(const MailMessage& mail, bool* refused)
{
    const std::string& subject = mail.header.subject;
    const bool help = subject.find("help") != std::string::npos || subject.find("HELP") != std::string::npos;
    *refused = !help;
    return statusBanner(help ? "Help info" : "Received unknown command") + mailHelpText();
}

std::string updateFailedAnswer(int result)
{
    char title[96];
    snprintf(title, sizeof title, "Error : Update failed on %s!?", updateAttachmentText(result));
    return statusBanner(title);
}

void handleSetParameters(const MailMessage& mail, MailOutcome* out)
{
    const std::vector<std::string_view>* lines = &mail.body;
    int encoding = mail.header.transferEncoding;
    // A multipart mail carries its parameters in its first text part.
    if (mail.header.contentType == kContentMultipart) {
        lines = nullptr;
        for (const MailPart& part : mail.parts) {
            if (part.contentType == kContentText) {
                lines = &part.lines;
                encoding = part.transferEncoding;
                break;
            }
        }
    }
    if (!lines || !isUsableTan(mailTan))
        return;
    bool authorized = false;
    out->paramFlags = setParametersFromLines(*lines, encoding, mailTan, nullptr, &authorized);
}

void handleUpdate(const MailMessage& mail, MailOutcome* out)
{
    const int fd = readUpdateAttachment(mail, mailTan);
    if (fd < 0) {
        out->answer = updateFailedAnswer(fd);
        return;
    }
    if (precheckUpdateFile(fd) != 0) {
        close(fd);
        out->answer = statusBanner("Error : Update file validation failed!?");
        return;
    }
    out->updateFd = fd;
}

} // namespace

const char* updateAttachmentText(int result)
{
    switch (result) {
    case kAttachmentUnclosed: return "reading multipart message";
    case kAttachmentNoTan: return "no TAN detected";
    case kAttachmentWrongTan: return "wrong TAN";
    case kAttachmentCorrupted: return "corrupted/wrong mail attachment";
    default: return "misc failure";
    }
}

bool mailCommandNeedsBody(int command)
{
    return command == kCommandSetParameters || command == kCommandUpdate;
}

int setParametersFromLines(const std::vector<std::string_view>& lines, int encoding, const char* tan,
                           const std::vector<std::string>* names, bool* authorized)
{
    *authorized = tan == nullptr;
    int flags = 0;
    std::string text;
    for (std::string_view line : lines) {
        if (!line.empty() && (line.front() == '-' || line.front() == '.'))
            break;
        text.assign(line);
        if (encoding == kEncodingQuotedPrintable)
            text.resize(decodeQuotedPrintable(text.data(), text.size()));
        if (text.size() <= 4)
            continue;
        std::string_view name;
        std::string_view value;
        if (!splitParameterLine(text, &name, &value))
            continue;
        if (isTanName(name)) {
            if (!*authorized && value == tan) {
                *authorized = true;
                newTan(nullptr);
            }
            continue;
        }
        if (!*authorized || !nameIsListed(name, names))
            continue;
        Param* p = ParamStore::find(name.data(), static_cast<int>(name.size()), kParamExactName);
        if (p)
            flags |= p->set(value.data(), static_cast<int>(value.size()));
    }
    return flags;
}

int readUpdateAttachment(const MailMessage& mail, const char* tan)
{
    // Only a multipart mail can carry the TAN beside the image.
    if (mail.header.contentType != kContentMultipart)
        return kAttachmentNoTan;
    if (mail.problem)
        return kAttachmentUnclosed;
    if (!isUsableTan(tan))
        return kAttachmentWrongTan;
    bool authorized = false;
    for (const MailPart& part : mail.parts) {
        if (!authorized) {
            if (part.contentType != kContentText)
                continue;
            const int found = findTanInText(part, tan);
            if (found < 0)
                return found;
            authorized = found == 1;
            continue;
        }
        if (part.contentType == kContentApplication)
            return attachmentFile(part);
    }
    return authorized ? kAttachmentCorrupted : kAttachmentNoTan;
}

MailOutcome handleMailCommand(const MailMessage& mail, int command, long long size)
{
    MailOutcome out;
    if (command == kCommandReply) {
        out.refused = true;
        return out;
    }
    if (size / 1024 > params::pop3_limit()->value()) {
        out.refused = true;
        out.answer = refusedMailAnswer("mail larger than the limit");
        return out;
    }
    if (mail.problem) {
        out.refused = true;
        out.answer = refusedMailAnswer(mail.problem);
        return out;
    }
    switch (command) {
    case kCommandGetStatus: out.answer = shortStatusText("get status"); break;
    case kCommandGetServicePage: out.answer = fullStatusText(false); break;
    case kCommandGetParameters: out.answer = fullStatusText(true); break;
    case kCommandSetParameters: handleSetParameters(mail, &out); break;
    case kCommandUpdate: handleUpdate(mail, &out); break;
    default: out.answer = helpAnswer(mail, &out.refused); break;
    }
    return out;
}

std::string mailHelpText()
{
    static const char kHelp[] =
        "\r\n The command in the subject line seems to contain a syntax error.\r\n Please check the syntax\r\n\r\n\r\n"
        " Syntax   : cmd: <command> <comment>\r\n\r\n <command>:\r\n"
        "            \"help\"              sends this help page\r\n"
        "            \"get status\"        sends status information and parameters\r\n"
        "            \"get parameters\"    sends a list of parameters\r\n\r\n"
        "            \"update %s\"        updates attached software or firmware files\r\n"
        "            \"set parameters\"    sets parameters on the device\r\n"
        "                                  Email body has to contain the parameter in syntax:\r\n"
        "                                  \"<parameter> = <value>\"\r\n\r\n"
        " ! Important for \"set\" and \"update\":\r\n"
        " !          the valid TAN has to be the first tuple in the mail body\r\n"
        " !          and there should be at least one space between every item!\r\n\r\n\r\n"
        " Note:\r\n         - It is not recommended to use your personal email account\r\n"
        "           since the %s server will delete your emails on the\r\n"
        "           server without any comment!\r\n"
        "         - Base64 encoding is highly recommended for the update of files.\r\n\r\n"
        "  Please take care to send pure ASCII mails to the %s server.\r\n\r\n";
    const char* product = productInfo().product_name;
    const int n = snprintf(nullptr, 0, kHelp, "zyt", product, product);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        snprintf(text.data(), text.size() + 1, kHelp, "zyt", product, product);
    return text;
}

std::string refusedMailAnswer(const char* reason)
{
    std::string text = statusBanner("Error : Mail refused!?");
    text += "\r\n\tReason           : ";
    text += reason;
    text += "\r\n\r\n\tNothing was changed.\r\n";
    return text;
}
