#include "services/pop3/mail_grammar.h"

#include <cstring>

namespace {

struct Keyword {
    const char* text;
    int token;
};

// Searched in this order: the first match wins ("print" is tried before
// "printa", which the delimiter rule then tells apart).
const Keyword kCommandKeywords[] = {
    {"cmd:", kTokenCmd}, {"re:", kTokenRe}, {"ack", kTokenAck}, {"get", kTokenGet}, {"set", kTokenSet},
    {"print", kTokenPrint}, {"printa", kTokenPrintA}, {"status", kTokenStatus},
    {"servicepage", kTokenServicePage}, {"attachment", kTokenAttachment}, {"parameters", kTokenParameters},
    {"hidden", kTokenHidden}, {"clean", kTokenClean}, {"mailqueue", kTokenMailQueue},
    {"pagecounter", kTokenPageCounter}, {"jobhistory", kTokenJobHistory}, {"filelist", kTokenFileList},
    {"lp1", 16}, {"lp2", 17}, {"lp3", 18}, {"lp4", 19}, {"lp5", 20}, {"zyt", kTokenZyt},
    {"update", kTokenUpdate}, {"erase", kTokenErase},
};

const Keyword kContentTypes[] = {
    {"text", kContentText}, {"application", kContentApplication}, {"multipart", kContentMultipart},
    {"image", kContentImage},
};

const Keyword kEncodings[] = {
    {"7bit", kEncoding7Bit}, {"8bit", kEncoding8Bit}, {"base64", kEncodingBase64},
    {"quoted-printable", kEncodingQuotedPrintable},
};

bool isDelimiter(const char* p, const char* end)
{
    return p == end || *p == ' ' || *p == '\t' || *p == '/' || *p == '\r' || *p == '\n';
}

// The keyword's letters are lower case; the text may have either case.
bool startsWithKeyword(const char* p, const char* end, const char* keyword, size_t length)
{
    if (static_cast<size_t>(end - p) < length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const char k = keyword[i];
        const char upper = (k >= 'a' && k <= 'z') ? static_cast<char>(k - 'a' + 'A') : k;
        if (p[i] != k && p[i] != upper)
            return false;
    }
    return isDelimiter(p + length, end);
}

template <size_t N>
int matchIn(const Keyword (&table)[N], const char** text, const char* end)
{
    const char* p = *text;
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    for (const Keyword& k : table) {
        const size_t length = strlen(k.text);
        if (startsWithKeyword(p, end, k.text, length)) {
            *text = p + length;
            return k.token;
        }
    }
    return kTokenNone;
}

// The next token, "ack" skipped wherever it stands.
int nextToken(const char** text, const char* end)
{
    int token = matchCommandKeyword(text, end);
    while (token == kTokenAck)
        token = matchCommandKeyword(text, end);
    return token;
}

int afterGet(int token)
{
    switch (token) {
    case kTokenStatus: return kCommandGetStatus;
    case kTokenServicePage: return kCommandGetServicePage;
    case kTokenParameters: return kCommandGetParameters;
    case kTokenHidden: return kCommandGetHidden;
    case kTokenJobHistory: return kCommandGetJobHistory;
    case kTokenFileList: return kCommandGetFileList;
    case kTokenPageCounter: return kCommandGetPageCounter;
    default: return kCommandNone;
    }
}

} // namespace

int matchCommandKeyword(const char** text, const char* end)
{
    return matchIn(kCommandKeywords, text, end);
}

int matchContentType(const char** text, const char* end)
{
    return matchIn(kContentTypes, text, end);
}

int matchTransferEncoding(const char** text, const char* end)
{
    return matchIn(kEncodings, text, end);
}

// The results that the grammar gives "after any further token" are given at
// once: every further token, the end of the text included, completes them.
int parseMailCommand(const char* subject, size_t length)
{
    const char* p = subject;
    const char* end = subject + length;
    const int first = matchCommandKeyword(&p, end);
    if (first != kTokenCmd)
        return first == kTokenRe ? kCommandReply : kCommandNone;
    const int verb = nextToken(&p, end);
    switch (verb) {
    case kTokenPrintA: return kCommandPrintAttachment;
    case kTokenErase: return kCommandErase;
    case kTokenGet: return afterGet(nextToken(&p, end));
    case kTokenSet: return nextToken(&p, end) == kTokenParameters ? kCommandSetParameters : kCommandNone;
    case kTokenClean: return nextToken(&p, end) == kTokenMailQueue ? kCommandCleanMailQueue : kCommandNone;
    case kTokenUpdate: return nextToken(&p, end) == kTokenZyt ? kCommandUpdate : kCommandNone;
    case kTokenPrint: {
        const int object = nextToken(&p, end);
        if (object == kTokenNone)
            return kCommandPrint;
        return object == kTokenAttachment ? kCommandPrintAttachment : kCommandNone;
    }
    default: return kCommandNone;
    }
}
