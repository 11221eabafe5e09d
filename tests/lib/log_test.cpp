#include "lib/log.h"

#include <gtest/gtest.h>

namespace {

template <typename... A>
std::wstring Fmt(const wchar_t* f, const A&... a) {
  const Logger::Arg list[] = {Logger::Arg(a)...};
  return Logger::Format(f, list, sizeof...(A));
}

TEST(LogFormatTest, WideStringsAndNumbers) {
  EXPECT_EQ(Fmt(L"[ERROR] client(%d): unknown command: [%d] \n", 12, 120),
            L"[ERROR] client(12): unknown command: [120] \n");
  EXPECT_EQ(Fmt(L"a %s b", std::wstring(L"\u00e9x")), L"a \u00e9x b");
  EXPECT_EQ(Fmt(L"%s|%s", "utf8 \xc3\xa9", L"w"), L"utf8 \u00e9|w");
  EXPECT_EQ(Fmt(L"%llu", 18446744073709551615ull), L"18446744073709551615");
  EXPECT_EQ(Fmt(L"%5d|%-3s|%%", 42, L"x"), L"   42|x  |%");
  EXPECT_EQ(Fmt(L"%d %d", 1), L"1 (missing)");
}

}  // namespace
