// The device pages: USB ports, notification counters, time, description,
// relay, and the start page; and their rows' handlers in the page table.
#pragma once

class HttpConnection;
class TemplateVars;

// The port settings form, then the port table.
int usbPage(HttpConnection& connection);
// -1 on a model without e-mail; the form, then "NotieSOk_i", "NotieSKo_i"
// and "TrapsOut_i" ("---" without trap sink i) for i = 1, 2.
int notifyPage(HttpConnection& connection);
void setNotifyCounters(TemplateVars& vars);
int timePage(HttpConnection& connection);
int descriptionPage(HttpConnection& connection);

// Gives the pages of this folder their rows of the page table.
void registerDevicePages();
