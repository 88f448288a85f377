// Translation for one language at a time, without the process-wide
// environment: each caller names the language it wants, so threads serving
// different languages never disturb each other. Catalogues are the compiled
// message files "/romfs/locale/<lang>/LC_MESSAGES/wev.mo", read once.
#pragma once

#include <string>

// The translation of text into lang (a two-letter code such as "de"); the
// text itself when there is none.
std::string translateText(const std::string& lang, const char* text);

// Forgets the loaded catalogues (tests that switch roots).
void dropCatalogues();
