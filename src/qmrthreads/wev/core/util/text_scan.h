// Scanning small texts: prefix comparison without case, the value of a hex
// digit, and the value part of "/proc" status lines.
#pragma once

// Case-insensitive comparison that stops where `a` ends, so a prefix of `b`
// compares equal (0); otherwise the difference of the first differing pair.
int compareNoCase(const char* a, const char* b);

// The value of a hex digit of either case, -1 for any other character.
int hexDigitValue(char c);

// For "Key:\tvalue\n" lines: skips the first word and the blanks after it,
// cuts the line's trailing newline and returns the value's start.
char* skipWord(char* line);
