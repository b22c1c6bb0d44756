// Form and query decoding for the page's HTTP server: what a browser's
// URLSearchParams sends comes back field by field, and a broken escape
// refuses the whole request.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "serve/http/http_server.h"

namespace {

using korvel::cli::serve::http::decodeForm;
using Fields = std::map<std::string, std::string>;

TEST(DecodeForm, GivesTheFieldsABrowserSent) {
    Fields fields;
    ASSERT_TRUE(decodeForm("units=A%2Fm&acdc=DC&note=two+words&empty=&flag&&x=%41%7e", &fields));
    EXPECT_EQ(fields, (Fields{{"units", "A/m"}, {"acdc", "DC"}, {"note", "two words"}, {"empty", ""},
                              {"flag", ""}, {"x", "A~"}}));
}

TEST(DecodeForm, TheFirstOfARepeatedFieldCounts) {
    Fields fields;
    ASSERT_TRUE(decodeForm("units=T&units=G", &fields));
    EXPECT_EQ(fields.at("units"), "T");
}

TEST(DecodeForm, RefusesBrokenEscapes) {
    for (const char* text : {"a=%", "a=%4", "a=%zz", "%=1", "a=1&b=%g0"}) {
        Fields fields;
        EXPECT_FALSE(decodeForm(text, &fields)) << text;
    }
}

}  // namespace
