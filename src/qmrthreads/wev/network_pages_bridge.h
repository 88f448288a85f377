// The network settings pages' view of the services (the mDNS name in use,
// the mail counters and states) and their rows of the page table;
// registered once at start-up.
#pragma once

void connectNetworkPages();
