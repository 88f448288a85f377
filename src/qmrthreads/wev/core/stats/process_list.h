// The processes of the box as "/proc" lists them, for the thread
// information page.
#pragma once

struct ProcessRecord {
    int pid;
    int ppid;       // -1 when absent
    int sleepAvg;   // -1 when absent (kernels without "SleepAVG:")
    int threads;    // -1 when absent
    char* name;     // malloc'ed, or null
    char* cmdline;  // first argument of the command line, malloc'ed, or null
};

// Fills *out with a malloc'ed array of records ending with null and
// returns the number of records (0, with *out null, when memory runs out).
int readProcessList(ProcessRecord*** out);

// Frees the array, the records and their texts.
void freeProcessList(ProcessRecord** list);
