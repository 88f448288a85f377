// The numbers the parameters exchange with the SNMP agent: the phases of a
// write and the error statuses, as net-snmp numbers them.
#pragma once

enum : int {
    kSnmpReserve1 = 0,
    kSnmpReserve2 = 1,
    kSnmpAction = 2,
    kSnmpCommit = 3,
    kSnmpFree = 4,
    kSnmpUndo = 5,
};
enum : int {
    kSnmpNoError = 0,
    kSnmpNoSuchName = 2,
    kSnmpNoAccess = 6,
    kSnmpWrongType = 7,
    kSnmpWrongLength = 8,
    kSnmpWrongValue = 10,
};
