// Downloads: the parameter lists as text ("/txt/...", shown in the browser)
// or as a file to keep ("/bin/...", saved under the box's default name),
// the certificate files and the CPU load graph.
#pragma once

#include <cstdio>
#include <string>

class HttpConnection;

enum class DownloadBody { ParamList, HiddenParamList, FileDump };

struct DownloadRow {
    const char* name;    // the start of the requested file name
    const char* source;  // box path
    DownloadBody body;
    const char* suffix;  // of the attachment's name
};

// The first row whose name begins the file part of a URL; null when none.
const DownloadRow* findDownload(const std::string& file);

// The attachment's name: default name, '_', suffix; characters a header or
// a file system would take otherwise become '_'. At most 63 characters.
std::string attachmentFileName(const char* defaultName, const char* suffix);

// The lists: " name = value" lines, names padded to the longest one, of the
// parameters that are shown (no status, internal or hidden ones), or of the
// internal and volatile ones (volatile lines end in " (temporarily)"). The
// first is a parameter file the upload takes back. false when a write failed.
bool writeParamList(FILE* out, bool hidden);

int downloadPage(HttpConnection& connection);

void registerDownloadPages();
