#include "web/pages/eap_root_choice.h"

#include "web/http/http_connection.h"

#include "core/cert/cert_files.h"
#include "platform/files/root_path.h"

#include <sys/stat.h>

#include <cctype>

namespace {

// A CA file of the store: its subject hash as 8 hexadecimal digits and ".0".
bool namesCaFile(const std::string& name)
{
    if (name.size() != 10 || name.compare(8, 2, ".0") != 0)
        return false;
    for (size_t i = 0; i < 8; ++i) {
        if (!isxdigit(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

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
        done = namesCaFile(choice) && caFileExists(choice) && setRootCertificate(("/flash/" + choice).c_str()) == 1;
    if (!done)
        connection.vars().setText("ErrMsg", connection.translate("Invalid value, nothing was changed:") + " EAProot");
    return done;
}
