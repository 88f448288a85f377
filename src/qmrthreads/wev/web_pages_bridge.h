// The pages' view of the USB ports (the USB server's device rows and the
// administrator's disconnect) and of the services' counters; registered once
// at start-up.
#pragma once

void connectPagesToUsbServer();
