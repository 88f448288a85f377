// Sets parameters for one test and puts the old values back afterwards, so
// tests that share a process do not see each other's settings.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/params/param.h"
#include "core/params/param_store.h"

class ParamOverride {
public:
    ParamOverride() = default;
    ~ParamOverride()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->first->set(it->second.c_str(), -1);
    }
    ParamOverride(const ParamOverride&) = delete;
    ParamOverride& operator=(const ParamOverride&) = delete;

    // "name" or, with n > 0, the family member "name<n>".
    void set(const char* name, const std::string& value, int n = 0)
    {
        Param* p = n > 0 ? ParamStore::find(name, static_cast<int>(strlen(name)), static_cast<uint32_t>(n))
                         : ParamStore::find(name);
        ASSERT_NE(p, nullptr) << name << n;
        set(p, value);
    }

    // Any parameter, hidden ones too (reached through its direct handle).
    void set(Param* p, const std::string& value)
    {
        saved_.emplace_back(p, p->text());
        p->set(value.c_str(), -1);
        ASSERT_EQ(p->text(), value) << p->name();
    }

private:
    std::vector<std::pair<Param*, std::string>> saved_;
};
