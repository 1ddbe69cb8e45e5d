#include <gtest/gtest.h>

#include <string>

#include "base/cron_text.h"

namespace {

TEST(Text, Validity) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xC3\xA9t\xC3\xA9", true},              // été
        {"\xE2\x82\xAC \xF0\x9F\x98\x80", true},  // euro sign, emoji
        {"\xF4\x8F\xBF\xBF", true},               // U+10FFFF
        {"\xC3", false},                          // cut two-byte sequence
        {"\xE2\x82", false},                      // cut three-byte sequence
        {"\xC0\xAF", false},                      // overlong "/"
        {"\xE0\x80\xAF", false},                  // overlong, three bytes
        {"\xED\xA0\x80", false},                  // surrogate
        {"\xF4\x90\x80\x80", false},              // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\x80", false},  // lone continuation
        {"a\xFF"
         "b",
         false},
    };
    for (const auto& [s, valid] : cases) EXPECT_EQ(cron_utf8_valid(s), valid) << s;
}

TEST(Text, CutEndsOnACharacterBoundary) {
    const std::string s = "a\xC3\xA9\xE2\x82\xAC";  // a, é (2 bytes), € (3 bytes)
    EXPECT_EQ(cron_utf8_cut(s, 10), s.size());
    EXPECT_EQ(cron_utf8_cut(s, 6), 6u);
    EXPECT_EQ(cron_utf8_cut(s, 5), 3u);
    EXPECT_EQ(cron_utf8_cut(s, 4), 3u);
    EXPECT_EQ(cron_utf8_cut(s, 2), 1u);
    EXPECT_EQ(cron_utf8_cut(s, 0), 0u);
}

TEST(Text, CopyText) {
    char buf[5] = "xxxx";
    cron_copy_text(buf, sizeof buf,
                   "a\xE2\x82\xAC"
                   "b");
    EXPECT_STREQ(buf, "a\xE2\x82\xAC");
    cron_copy_text(buf, 3, "a\xE2\x82\xAC");
    EXPECT_STREQ(buf, "a");
    cron_copy_text(buf, sizeof buf, nullptr);
    EXPECT_STREQ(buf, "");
}

TEST(Text, SanitizeReplacesEachBadByte) {
    EXPECT_EQ(cron_utf8_sanitize("ok \xC3\xA9"), "ok \xC3\xA9");
    EXPECT_EQ(cron_utf8_sanitize("a\xFF"
                                 "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(cron_utf8_sanitize("\xC3"), "\xEF\xBF\xBD");
    EXPECT_EQ(cron_utf8_sanitize("\xE2\x82x"), "\xEF\xBF\xBD\xEF\xBF\xBDx");
    EXPECT_TRUE(cron_utf8_valid(cron_utf8_sanitize("\xED\xA0\x80\xC0\xAF\xF4\x90\x80\x80")));
}

}  // namespace
