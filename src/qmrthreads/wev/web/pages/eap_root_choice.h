// The CA certificate that 802.1X trusts, as a settings form chooses it:
// the name of a CA file of the certificate store, or "---" for none.
#pragma once

#include <string>

class HttpConnection;

// Links the root certificate to the CA file choice names, or removes the
// link for "---". Any other text, or a CA file that does not exist, changes
// nothing and sets "ErrMsg": the name becomes a link target in the
// certificate directory. true when the choice was taken.
bool chooseEapRoot(HttpConnection& connection, const std::string& choice);
