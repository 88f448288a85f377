// The security pages: TLS information, web passwords and sessions, the
// 802.1X root certificate, the certificate overview with its delete
// actions, the certificate detail pages, the device access page and the
// certificate clean-up.
// Certificate names from the browser are CA file names (eight hex digits
// and ".0") or nothing: no form value becomes a path of its own.
#pragma once

#include <string>
#include <vector>

#include "core/tls/tls_info.h"
#include "web/pages/usb_port_source.h"

class HttpConnection;
class TemplateVars;

int sslPage(HttpConnection& connection);
int httpSecurityPage(HttpConnection& connection);
int authenticationPage(HttpConnection& connection);
int certificatePage(HttpConnection& connection);
int showCaPage(HttpConnection& connection);
int showCertPage(HttpConnection& connection);
int showOwnCertPage(HttpConnection& connection);
int showMimePage(HttpConnection& connection);
int showRequestPage(HttpConnection& connection);
int cleanCertsPage(HttpConnection& connection);
// -1 on a model without port access control; the form, then the port keys,
// the connected devices' ids per port and the port table.
int devAccPage(HttpConnection& connection);

// The device access page's own variables: each port key under its
// parameter's name ("zyt_keyval_N", the key itself, so the administrator
// can read it), and "VendProds_P": "vvvv:pppp " of every device on port P
// in table order, for ports that have one.
void setDevAccessVars(TemplateVars& vars, const std::vector<PortDevice>& devices);

// "Root_"i, "EAProot_"i, "OHash_"i, "Root#": the root CA certificates the
// 802.1X supplicant may trust, the one in force selected ("---" first,
// selected, when none is). CA files that do not parse are removed.
int setRootCaVars(HttpConnection& connection);

// "Ciphers_"k: the cells "<td>version+name</td>" of a cipher list, two to a
// variable (the last one alone when the number is odd); "Ciphers#".
void setCipherVars(HttpConnection& connection, const std::vector<TlsCipherName>& ciphers);

// The CA file name of a form value that names one by its hash: the value
// must be exactly eight hex digits. "" otherwise.
std::string caNameOfHash(const std::string& value);

void registerSecurityPages();
