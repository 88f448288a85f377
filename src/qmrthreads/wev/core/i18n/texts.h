// Translation of user-visible texts through the message catalogue.
#pragma once

// Binds the text domain "wev" to the catalogues under "/romfs/locale" (UTF-8)
// and selects a UTF-8 locale, without which gettext ignores "LANGUAGE".
void initMessageCatalogue();

// The translation of a user-visible text in the current request language;
// the text itself when the catalogue has none. Never fails.
const char* getmuText(const char* text);
