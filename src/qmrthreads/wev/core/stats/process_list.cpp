#include "core/stats/process_list.h"

#include "core/util/dir_list.h"
#include "core/util/line_reader.h"
#include "platform/files/root_path.h"
#include "core/util/text_scan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool isNumber(const char* name)
{
    if (!*name)
        return false;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

std::string procFile(int pid, const char* file)
{
    return boxPath("/proc/") + std::to_string(pid) + "/" + file;
}

// The first argument: the file holds the arguments separated by NULs.
void readCommandLine(ProcessRecord* rec)
{
    FILE* f = fopen(procFile(rec->pid, "cmdline").c_str(), "r");
    if (!f)
        return;
    char buf[128];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    buf[strcspn(buf, "\n")] = 0;
    if (buf[0])
        rec->cmdline = strdup(buf);
}

int numberAfterKey(char* line)
{
    int value = -1;
    if (sscanf(skipWord(line), "%d", &value) != 1)
        return -1;
    return value;
}

void readStatus(ProcessRecord* rec)
{
    FILE* f = fopen(procFile(rec->pid, "status").c_str(), "r");
    if (!f)
        return;
    char line[256];
    while (readLine(f, line, sizeof line)) {
        bool threads = strstr(line, "Threads:") != nullptr;
        if (strstr(line, "Name:")) {
            free(rec->name);
            rec->name = strdup(skipWord(line));
        } else if (strstr(line, "SleepAVG:")) {
            rec->sleepAvg = numberAfterKey(line);
        } else if (strstr(line, "PPid:")) {
            rec->ppid = numberAfterKey(line);
        }
        if (threads)
            rec->threads = numberAfterKey(line);
    }
    fclose(f);
}

ProcessRecord* readProcess(int pid)
{
    ProcessRecord* rec = static_cast<ProcessRecord*>(malloc(sizeof(ProcessRecord)));
    if (!rec)
        return nullptr;
    *rec = ProcessRecord{pid, -1, -1, -1, nullptr, nullptr};
    readCommandLine(rec);
    readStatus(rec);
    return rec;
}

} // namespace

int readProcessList(ProcessRecord*** out)
{
    *out = nullptr;
    DirList dir;
    int n = dir.readByName(boxPath("/proc/").c_str());
    ProcessRecord** list = static_cast<ProcessRecord**>(calloc(static_cast<size_t>(n) + 1, sizeof(ProcessRecord*)));
    if (!list)
        return 0;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const char* name = dir.entryName(i);
        if (!name || !isNumber(name))
            continue;
        ProcessRecord* rec = readProcess(atoi(name));
        if (rec)
            list[count++] = rec;
    }
    dir.clear();
    list[count] = nullptr;
    *out = list;
    return count;
}

void freeProcessList(ProcessRecord** list)
{
    if (!list)
        return;
    for (ProcessRecord** p = list; *p; ++p) {
        free((*p)->name);
        free((*p)->cmdline);
        free(*p);
    }
    free(list);
}
