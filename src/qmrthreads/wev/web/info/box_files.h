// The file system as the directory and file pages show it: paths are the
// box's own ("/proc", "/etc/hostname"), cleaned before use so that no
// request leaves the box's root, and files that hold secrets are never
// served, whatever their mode says.
#pragma once

#include <string>
#include <sys/stat.h>

// The path made absolute with "." and empty segments dropped and ".."
// taking away the segment before it (never above "/"); "" for a text with a
// NUL byte. An empty text is "/".
std::string cleanBoxPath(const std::string& text);

// True when the open file st is the parameter file or its SD copy, a
// private key (or its SD copy), the session table or the SNMP agent's
// configuration, under whatever name it was reached.
bool isSecretFile(const struct stat& st);

// The open descriptor of a file the file page may copy out: a regular
// file readable by others and not secret; -1 otherwise, with *reason "Access
// denied" (mode, kind or secret) or the system's error text.
int openServableFile(const std::string& boxPath, std::string* reason);

// "-rwxr-xr-x" as a long listing writes a mode.
std::string modeText(mode_t mode);

// A box path as the query of a link: bytes other than [A-Za-z0-9/._-]
// as %XX.
std::string pathQuery(const std::string& path);
