// Answers that handlers share: a named template whatever the URL, the
// redirector page and the wait page. Each returns a handler result.
#pragma once

class HttpConnection;

// The template file (a path under the template tree) rendered with the
// connection's variables; -1 when no pipe could be made.
int showPage(HttpConnection& connection, const char* file);
// "/redirector.html" towards /start.html: over https after 3 seconds when
// https is set, else after 1 second.
int showRedirector(HttpConnection& connection, bool https);
// "/wait4.html" with message as "DisplayMsg"; it refreshes to the
// connection's refresh target, /start.html unless a handler set one.
int showWaitPage(HttpConnection& connection, const char* message);
