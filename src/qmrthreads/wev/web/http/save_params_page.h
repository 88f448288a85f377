// The generic handler of settings pages: a form posted with action=set is
// applied to the parameters, the changes are saved and take effect, and the
// page is shown again with a notice.
#pragma once

#include "web/http/form_data.h"

class HttpConnection;

int saveParamsPage(HttpConnection& connection);

// The form applied as saveParamsPage applies it; false when a value was
// refused: "ErrMsg" then names its field and nothing was changed.
bool applyPostedForm(HttpConnection& connection, FormApplied* applied);

// saveParamsPage's steps after the form was applied with changed
// parameters: save, notice, network change or restart.
int finishParamChange(HttpConnection& connection);
