#include "services/mail/smtp_reply.h"

#include <cstring>

int smtpReplyCode(const char* data, size_t length, size_t* used)
{
    size_t start = 0;
    while (start < length) {
        const char* end = static_cast<const char*>(memchr(data + start, '\n', length - start));
        if (!end)
            return 0;
        const size_t lineEnd = static_cast<size_t>(end - data) + 1;
        const char* line = data + start;
        const size_t lineLength = lineEnd - start;
        int code = 0;
        size_t digits = 0;
        while (digits < 3 && digits < lineLength && line[digits] >= '0' && line[digits] <= '9')
            code = code * 10 + (line[digits++] - '0');
        start = lineEnd;
        if (digits < 3 || (digits < lineLength && line[digits] == '-'))
            continue;
        if (used)
            *used = lineEnd;
        return code;
    }
    return 0;
}
