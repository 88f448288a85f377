// Gives the security, certificate and maintenance pages and the downloads
// their rows of the page table.
#pragma once

void registerAdminPages();
