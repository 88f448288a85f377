// The login page ("/index.html") and the logout page ("/exit.html"), and the
// registration that connects the session table to the page table.
#pragma once

class HttpConnection;

// Without action=set: the page as it is (the login form, or with sessKeys
// off the note that no login is needed). A posted login with sessKeys off:
// a redirect to /start.html. A posted form with
// action=set, name and pwd logs in as administrator (admin_name, admin_pwd)
// or user (any_name, any_pwd) and redirects to /start.html with the
// "SessKey" cookie; a wrong name or password, or a full table, gives the
// login page with "ErrMsg" (and the name again as "LLoginName").
int loginPage(HttpConnection& connection);
// Ends the session named by the request's SessKey cookie, if any, and
// answers the login page.
int exitPage(HttpConnection& connection);

// The session look-up for the access check, the table's file for the web
// server's start and end, and the two pages.
void registerWebSessions();
