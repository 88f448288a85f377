// Marks a text that is translated where it is shown rather than where it is
// written: a row of a table, a message handed on to a page. The mark changes
// nothing; tools/check-catalogues.py collects the texts so marked, with the
// literals handed to the lookups themselves, and holds them against the
// catalogues.
#pragma once

constexpr const char* translatable(const char* text)
{
    return text;
}
