// The security and maintenance pages' view of the services: the firmware
// update, the TLS descriptions of the USB server's and the mail's last
// sessions, and the SD card; registered once at start-up with the pages.
#pragma once

void connectAdminPages();
