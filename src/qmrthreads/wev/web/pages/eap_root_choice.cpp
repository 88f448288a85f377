#include "web/pages/eap_root_choice.h"

#include "web/http/http_connection.h"

#include "core/cert/cert_files.h"
#include "platform/files/root_path.h"

#include <sys/stat.h>

namespace {

bool caFileExists(const std::string& name)
{
    struct stat st;
    return stat(boxPath("/flash/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

bool chooseEapRoot(HttpConnection& connection, const std::string& choice)
{
    bool done;
    if (choice == "---")
        done = deleteCertFile(CERT_ROOT) == 1;
    else
        done = isCaFileName(choice) && caFileExists(choice) && setRootCertificate(("/flash/" + choice).c_str()) == 1;
    if (!done)
        connection.vars().setText("ErrMsg", connection.translate("Invalid value, nothing was changed:") + " EAProot");
    return done;
}
