// ParamStore: all parameters in one table sorted by name (strcmp byte order),
// found by name or by family prefix and member number, written to and read
// from the parameter file, and collected after changes (resetModified).
//
// The table is built once, on first use, by createAllParams(); it is never
// reordered afterwards, so look-ups and enumerations need no lock. Values are
// guarded per parameter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/params/param.h"

// The catalogue: every parameter in name order. Defined by the generated
// catalogue, which also provides createAllParams() to fill it.
extern Param* paramTable[];
extern const int paramTableCount;
void createAllParams();

// Exact name look-up for ParamStore::find's index argument.
constexpr uint32_t kParamExactName = 0x80000000u;
// Longest name ParamStore::find looks up.
constexpr int kParamMaxNameLength = 60;

// resetModified / saveParamsIfDirty result bits.
enum : int {
    kChangedSave = 0x1,       // save the parameter file
    kChangedNetwork = 0x2,    // re-apply the network configuration
    kChangedRestart = 0x4,    // restart the program
    kChangedAny = 0x80,       // something changed ("Parameters have been changed.")
    kChangedSaveFailed = 0x100,  // saveParamsIfDirty: the file could not be written
};

class ParamStore {
public:
    // The table and its size; builds it on first use. count may be null.
    // While a test table is set, this is the test table.
    static Param** items(int* count);
    static int count();
    // The generated catalogue itself (built on first use), never a test
    // table: direct handles index this, so code reached through them keeps
    // working while a test runs the store over a table of its own.
    static Param** catalogue();

    // name: length characters (need not be terminated). index
    // kParamExactName: the name itself; any other non-zero index: the name
    // followed by the decimal number (index & 0xffff). Null when length is
    // over 60, index is 0, nothing has that name, or the parameter is hidden.
    static Param* find(const char* name, int length, uint32_t index);
    // Exact look-up of a terminated name.
    static Param* find(const char* name);
    // As find(name) but also returns hidden parameters (for the store's own
    // work, which must see a parameter whatever the model shows).
    static Param* findAny(const char* name);

    // Parameters whose flags have no bit of (mask | hidden).
    static int countVisible(uint32_t mask);
    // The n-th (from 0) of them; null when there is none.
    static Param* nthVisible(int n, uint32_t mask);
    // Largest number after the prefix among names that begin with it
    // (ignoring case) and are neither hidden nor internal; 0 when none.
    static int maxIndex(const char* prefix, int prefixLength);

    // Writes every parameter that is neither hidden nor volatile to path (a
    // file-system path, already under the root) through a temporary file in
    // the same directory: mode 0600, flushed, synced, renamed. Saves are
    // serialised. When a copy is registered and wants one now, the same
    // content goes to the copy the same way. 0 written, -1 when either file
    // could not be written (the old file then stays whole).
    static int save(const char* path);
    // The parameter file in the same form as save writes it.
    static int write(FILE* out);

    // Reads parameter lines; a bad line is dropped with a message naming it
    // and why, everything else is taken. 1 when at least one line was taken
    // with a non-zero result, else 0. An upload (a seekable file) is taken
    // whole or not at all: every line is checked first, and a file with a
    // bad line (unknown name, no '=', a value its parameter refuses, binary
    // data, a line too long) changes nothing and gives -2; -1 when it cannot
    // be read again. Lines of parameters this model hides are passed over.
    static int load(FILE* in, bool fromUpload);
    // load of a file; 0 when it cannot be opened. Then the "switchon" rule.
    static int loadFile(const char* path);
    // Takes over *fd (it is -1 and closed on return) and loads it as an
    // upload from its current offset; -1 for a negative descriptor or one
    // that cannot be read, -2 for a file that was refused whole.
    static int loadFd(int* fd);

    // Removes the parameter file and tells the registered copy; 1 when the
    // file was removed.
    static int factoryReset();
    // Deletes every parameter; nothing is saved.
    static void destroyAll();
    // Diagnostic listing.
    static void dump(FILE* out);

    // Tests: run the store over a caller-given table sorted by strcmp of the
    // names instead of the catalogue; null restores the catalogue.
    static void useTableForTest(Param** items, int count);
};

// The blanks the parameter file's reader takes for spacing around a value:
// a value that begins or ends with one does not come back the same.
bool isParamFileBlank(char c);

// "/etc/params.dat" under the root prefix.
std::string paramFilePath();

// Another place that keeps a copy of the parameter file (the SD card
// registers itself). Its operations run under the save lock.
struct ParamFileCopy {
    // Where the copy goes now; "" when none is wanted.
    std::string (*path)();
    // The copy was written.
    void (*written)();
    // A factory reset removed the parameter file.
    void (*reset)();
};
// Registers the copy (null: none).
void setParamFileCopy(const ParamFileCopy* copy);

// Collects the modified marks, runs the side effects of the changes and
// returns kChanged* bits.
int resetModified();
// resetModified, then saves the parameter file when kChangedSave is set. A
// failed save adds kChangedSaveFailed and leaves a pending save behind, so
// the next collection saves the file even when nothing else has changed.
int saveParamsIfDirty();

// The number formed by the trailing digits of the first *length characters
// of name; *length becomes the length of the prefix before them.
// 0x80000000 (and *length unchanged) when there are no trailing digits.
int32_t paramNameIndex(const char* name, int* length);
