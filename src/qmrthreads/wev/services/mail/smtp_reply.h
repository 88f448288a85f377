// Reading an SMTP reply: lines of three digits, '-' on every line but the
// last; the code is the last line's three digits.
#pragma once

#include <cstddef>

// The reply code of the complete reply at the start of data, with *used set
// to the bytes it took (CR LF of its last line included). 0 while the reply
// is not complete yet. A line that does not begin with three digits is
// skipped, as are continuation lines.
int smtpReplyCode(const char* data, size_t length, size_t* used);
