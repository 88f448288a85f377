// The values a page template of one request is expanded against, in this
// order: "lang", "MetaAutoRefresh", the product name forms, the software
// options ("QMR_CFG_<option>"), the request's variables (a capitalised
// name that is none is empty), the visible parameters by number, the
// identity records, the certificate fields, and last the parameters.
#pragma once

#include "web/template/template_source.h"

class HttpConnection;

class RequestValues : public TemplateSource {
public:
    explicit RequestValues(HttpConnection& connection) : connection_(connection) {}

    int resolve(const char* name, int32_t index, char* buffer, size_t size) override;
    int count(const char* name) override;
    std::string translate(const char* text) override;
    std::string includeFile(const char* path) override;

private:
    HttpConnection& connection_;
};

// A parameter's text for the templates: a family member name + index for
// a name of three or more characters ending in '_', else the parameter with
// the index as list selector; empty for one that does not exist or is
// hidden. Text parameters are HTML-escaped.
int renderParam(const char* name, int32_t index, char* buffer, size_t size);
// Members of a family ("name_"), or the rows of a list parameter.
int paramValueCount(const char* name);
// The product name without its trailing "-<digits>" run; shortened drops a
// leading "my" too.
std::string choppedProductName(bool shortened);
