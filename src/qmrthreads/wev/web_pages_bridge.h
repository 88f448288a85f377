// The pages' view of the USB ports, read from the USB server's published
// device rows; registered once at start-up.
#pragma once

void connectPagesToUsbServer();
