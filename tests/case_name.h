// Names parameterised test cases after their table row's `name` field.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace testing_support {

struct CaseName {
    template <typename Case> std::string operator()(const ::testing::TestParamInfo<Case>& row) const
    {
        std::string name = row.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    }
};

} // namespace testing_support
