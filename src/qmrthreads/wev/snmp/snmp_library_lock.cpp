#include "snmp/snmp_library_lock.h"

namespace {
bool ready = false;
}

std::mutex& snmpLibraryMutex()
{
    static std::mutex m;
    return m;
}

bool snmpLibraryReady()
{
    return ready;
}

void setSnmpLibraryReady(bool value)
{
    ready = value;
}
