// Template variables over the identity records: "prodpa_<key>",
// "softpa_<key>" and "firmpa_<key>" (the resolver strips the family prefix
// and passes the key). Each prints one value into the buffer and returns
// snprintf's result; a key the family does not know prints " -- 2Do --".
#pragma once

int printProductVar(const char* key, char* buf, int size);
int printSoftwareVar(const char* key, char* buf, int size);
int printFirmwareVar(const char* key, char* buf, int size);
