// Every fixed path of the box ("/etc/params.dat", "/flash/...", "/dev/gpio", ...)
// is reached through boxPath(), which puts the directory named by WEV_ROOT in
// front. Unset or empty means "/", the box itself. No other code builds such paths.
#pragma once

#include <string>

// The root directory without a trailing slash; "" for the box's own root.
const std::string& rootPrefix();

// The root prefix followed by an absolute box path.
std::string boxPath(const char* path);
std::string boxPath(const std::string& path);

// Tests only: take WEV_ROOT again from the environment.
void reloadRootPrefixForTest();
