#include "web/pages/admin_pages.h"

#include "web/pages/cert_forms.h"
#include "web/pages/download_page.h"
#include "web/pages/maintenance_pages.h"
#include "web/pages/security_pages.h"

void registerAdminPages()
{
    registerSecurityPages();
    registerCertForms();
    registerMaintenancePages();
    registerDownloadPages();
}
