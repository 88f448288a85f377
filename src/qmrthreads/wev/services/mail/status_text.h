// The status texts that mail commands send back: the short status (banner
// and USB device list) and the full status (banner, memory, parameters).
// CR LF lines, not translated, like the event mails.
#pragma once

#include <string>

// The banner with title and the USB device list.
std::string shortStatusText(const std::string& title);

// The banner titled "Parmeter list" (parametersOnly) or "FullStatus"; unless
// parametersOnly the memory section; then every listed parameter with its
// value (secrets as "****").
std::string fullStatusText(bool parametersOnly);
