#include "web/sessions/login_pages.h"

#include "web/http/http_connection.h"
#include "web/http/page_answers.h"
#include "web/http/page_table.h"
#include "web/sessions/web_session_table.h"

#include "core/i18n/translatable.h"
#include "core/params/param_handles.h"
#include "core/task/start_state.h"
#include "platform/files/root_path.h"

#include <string>

namespace {

int findSession(const char* key, bool touch, WebSessionView* out)
{
    WebSession s;
    int slot = webSessionTable().findByKey(key, touch, &s);
    if (slot >= 0 && out) {
        out->slot = slot;
        out->type = s.type;
        out->key = s.key;
        out->user = s.userName;
    }
    return slot;
}

std::string sessionFile()
{
    return boxPath("/var/sessions.raw");
}

void restoreSessions()
{
    webSessionTable().restore(sessionFile(), startCounter());
}

void saveSessions()
{
    webSessionTable().save(sessionFile());
}

const WebSessionOps kSessionOps = {findSession, restoreSessions, saveSessions};

int answerLoginForm(HttpConnection& connection, const char* message)
{
    connection.vars().setRaw("ErrMsg", connection.translate(message));
    return 1;
}

} // namespace

int loginPage(HttpConnection& connection)
{
    std::string action, name, pwd;
    if (!connection.getFormVar("action", &action) || action != "set")
        return 1;
    // Without logins the welcome page only says so; a login posted anyway
    // goes straight on.
    if (params::sessKeys()->isOff()) {
        connection.redirect("/start.html");
        return 1;
    }
    connection.getFormVar("name", &name);
    int type;
    const StringParam* password;
    if (name == paramText(params::admin_name())) {
        type = kSessionAdmin;
        password = params::admin_pwd();
    } else if (name == paramText(params::any_name())) {
        type = kSessionUser;
        password = params::any_pwd();
    } else {
        return answerLoginForm(
            connection, translatable("The user name is incorrect. Type your user name and password again."));
    }
    if (!connection.getFormVar("pwd", &pwd) || pwd != paramText(password)) {
        connection.vars().setText("LLoginName", name);
        return answerLoginForm(connection, translatable("The password is incorrect. Check your user name, then "
                                                        "type your password again."));
    }
    std::string key;
    if (webSessionTable().login(type, accountName(type), type, &key) < 0)
        return answerLoginForm(
            connection, translatable("The maximum number of users has been reached. Please try again later."));
    std::string cookie = std::string("Set-Cookie: SessKey=") + key + "; PATH=/";
    connection.redirect("/start.html", cookie.c_str());
    return 1;
}

int exitPage(HttpConnection& connection)
{
    std::string key = sessionKeyFromCookie(connection.request().cookie);
    if (!key.empty())
        webSessionTable().logout(key.c_str());
    connection.vars() = TemplateVars();
    return showPage(connection, "/index.html");
}

void registerWebSessions()
{
    setWebSessionOps(&kSessionOps);
    setPageHandler("/index.html", loginPage);
    setPageHandler("/exit.html", exitPage);
}
