// Random texts for session keys and mail TANs, drawn from the system's
// generator (never from the clock).
#pragma once

// n characters from [0-9A-Za-z] drawn from the system's random generator,
// without a terminator.
void randomText(char* buf, int n);

// The TAN that mail commands must carry; 16 characters and a NUL.
constexpr int MAIL_TAN_LENGTH = 16;
extern char mailTan[MAIL_TAN_LENGTH + 1];

// A new TAN into buf (17 bytes), or into mailTan when buf is null.
void newTan(char* buf);
