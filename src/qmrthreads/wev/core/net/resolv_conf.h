// The resolver file "/etc/resolv.conf", written from the DNS parameters at
// start-up and after every network change.
#pragma once

// Rewrites the file in place under the resolver mutex (the file may be a
// bind mount that cannot be replaced by a rename). 1, or 0 when it cannot
// be opened or written.
int writeResolvConf();
