// What the spool takes for a whole record, and what it sets aside.
#include <gtest/gtest.h>

#include <string>

#include "publish/record_check.h"

namespace korvel::cli::publish {
namespace {

TEST(RecordCheck, WholeRecordsWithTheirNumber) {
    std::uint64_t seq = 0;
    EXPECT_TRUE(isSpoolRecord(R"({"seq":1})", &seq));
    EXPECT_EQ(seq, 1U);
    EXPECT_TRUE(isSpoolRecord(R"({"seq":18446744073,"tesla":-1.25e-3,"text":"12.5 \u00b5T \"x\"","ok":[true,false,null],"m":{}})", &seq));
    EXPECT_EQ(seq, 18446744073U);
    EXPECT_TRUE(isSpoolRecord("{\"seq\":7,\"units\":\"\xc2\xb5T\"}", &seq));  // UTF-8
}

TEST(RecordCheck, AnythingElseIsNoRecord) {
    std::uint64_t seq = 0;
    for (const std::string& line : {
             std::string(), std::string("{}"), std::string(R"({"n":1,"seq":2})"), std::string(R"({"seq":0})"),
             std::string(R"({"seq":01})"), std::string(R"({"seq":"1"})"), std::string(R"({"seq":1)"),
             std::string(R"({"seq":1}})"), std::string(R"({"seq":1,})"), std::string(R"({"seq":1,"a":01})"),
             std::string(R"({"seq":1,"a":1.})"), std::string(R"({"seq":1,"a":tru})"),
             std::string(R"({"seq":1,"a":"\q"})"), std::string("{\"seq\":1,\"a\":\"\x01\"}"),
             std::string("{\"seq\":1,\"a\":\"\xc3\x28\"}"), std::string("{\"seq\":1,\"a\":\"\xed\xa0\x80\"}"),
             std::string("{\"seq\":1,\"a\":\"\xe2\x82\"}"), std::string(R"({"seq":1,"a":[1,2})"),
             std::string(R"({"seq":123456789012345678901})"),
             std::string("{\"seq\":1,\"a\":\"") + std::string(kLongestRecord, 'x') + "\"}",
             std::string("{\"seq\":1,\"a\":") + std::string(40, '[') + std::string(40, ']') + "}"})
        EXPECT_FALSE(isSpoolRecord(line, &seq)) << line;
}

}  // namespace
}  // namespace korvel::cli::publish
