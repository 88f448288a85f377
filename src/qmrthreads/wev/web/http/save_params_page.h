// The generic handler of settings pages: a form posted with action=set is
// applied to the parameters, the changes are saved and take effect, and the
// page is shown again with a notice.
#pragma once

class HttpConnection;

int saveParamsPage(HttpConnection& connection);

// saveParamsPage's steps after the form was applied with changed
// parameters: save, notice, network change or restart.
int finishParamChange(HttpConnection& connection);
