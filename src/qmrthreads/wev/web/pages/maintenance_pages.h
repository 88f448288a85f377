// The maintenance pages: restart and factory reset, the upload of a
// parameter file and the parameter list, the SD card's state, and the
// firmware update (the check of an uploaded image, its start and the
// progress page). Handlers of the page table's contract.
#pragma once

class HttpConnection;

// Restarts the box 4 seconds after the wait page went out; with the form
// variable "cold" the program ends with exit code 2 (a cold restart).
int restartCgi(HttpConnection& connection);
// Factory defaults: the parameter file goes, then the restart.
int resetCgi(HttpConnection& connection);
// The uploaded parameter file, taken whole or not at all, saved, and acted
// on as a settings page's save would.
int setParamsCgi(HttpConnection& connection);
// "params#": the number of parameters the list shows.
int showParamsPage(HttpConnection& connection);
// "SDstat", "SDreq", "SDNam", "SDMou".
int sdCardPage(HttpConnection& connection);
// The uploaded firmware image: checked, then handed to the update task.
int updateCheckPage(HttpConnection& connection);
// update.html and updater.html: the progress of the running update.
int updatePage(HttpConnection& connection);
// "FlasherInfo", "DisplayMsg", "DonePerCent" and the reload; the percent.
int updateProgressPage(HttpConnection& connection);

// The SD card page's free space: "(KB + 521) / 1024" in whole MB.
int sdCardMegabytes(unsigned long kilobytes);

void registerMaintenancePages();
