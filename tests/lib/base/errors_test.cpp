#include "lib/base/errors.h"

#include <gtest/gtest.h>

#include <string>

TEST(ErrorStringTest, LooksUpByMagnitude) {
  EXPECT_STREQ(GetErrorString(ERR_OK), "Successful");
  EXPECT_STREQ(GetErrorString(ERR_PROTO), "Protocal error");
  EXPECT_STREQ(GetErrorString(5), "Protocal error");
  EXPECT_STREQ(GetErrorString(ERR_SYNCFOLDER_MISS), "Sync Folder is miss");
  EXPECT_STREQ(GetErrorString(ERR_WATCH_DEGRADED), "Change watching degraded");
  EXPECT_STREQ(GetErrorString(ERR_TLS_UNVERIFIED), "Server certificate not checked");
  EXPECT_STREQ(GetErrorString(-22), "Unknown error");
  EXPECT_STREQ(GetErrorString(22), "Unknown error");
  EXPECT_STREQ(GetErrorString(-2147483647 - 1), "Unknown error");
}

TEST(ErrorStringTest, WideAndNarrowTablesAgree) {
  for (int code = -22; code <= 22; ++code) {
    std::string narrow = GetErrorString(code);
    std::wstring wide = GetErrorStringW(code);
    EXPECT_EQ(std::wstring(narrow.begin(), narrow.end()), wide) << code;
  }
}
