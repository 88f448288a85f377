// The service instance name the responder announces, and how it changes
// after a conflict. An instance name is one DNS label, so it is kept to 63
// bytes: a configured name is cut before its " (n)" suffix is added.
#pragma once

#include <cstddef>

constexpr size_t kInstanceNameSize = 129;

// The n of a trailing " (n)" (one or two digits) of a name longer than 4
// characters, else -1; with cut the name then ends before the blank.
int parseInstanceSuffix(char* name, bool cut);

struct InstanceNameInputs {
    const char* configured = "";   // `bonjour_name`
    const char* defaultName = "";  // the product's default name
    const char* productName = "";
};

// The name to announce: the configured one as it stands when it holds the
// default name; else the configured one with " (n)" (n from *renameNumber,
// made 2 unless it lies in 2 to 99); with nothing configured the product
// name, "@" and the default name.
void buildInstanceName(const InstanceNameInputs& in, int* renameNumber, char* out, size_t size);

// Whether a conflict on the name makes a new one: not for the default name
// (nothing configured) nor for a configured name that holds it.
bool renamesOnConflict(const InstanceNameInputs& in);

// Cuts text to at most max bytes without splitting a UTF-8 character.
void cutToBytes(char* text, size_t max);
