// The child's environment block on the desktop platform: the process
// environment in its order with the job's variables set over it, as UTF-16.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "proc/cron_proc.h"

namespace {

using strings = std::vector<std::wstring>;

strings split(const wchar_t* block) {
    strings out;
    for (const wchar_t* s = block; *s != L'\0'; s += wcslen(s) + 1) out.emplace_back(s);
    return out;
}

strings parent() {
    wchar_t* env = ::GetEnvironmentStringsW();
    strings out = split(env);
    ::FreeEnvironmentStringsW(env);
    return out;
}

// The block for `text`, checked to end in two zero units.
strings build(const char* text) {
    wchar_t* block = cron_build_env_block(text);
    if (block == nullptr) return {L"<none>"};
    const wchar_t* s = block;
    while (*s != L'\0') s += wcslen(s) + 1;
    EXPECT_EQ(s[0], L'\0');  // the terminating zero unit of the run
    strings out = split(block);
    std::free(block);
    return out;
}

strings with(strings base, std::initializer_list<std::wstring> tail) {
    base.insert(base.end(), tail);
    return base;
}

class EnvBlockWin : public ::testing::Test {
protected:
    void SetUp() override {
        for (const wchar_t* n : {L"QC_T_A", L"QC_T_AB", L"Qc_T_Path", L"QC_T_D"})
            ::SetEnvironmentVariableW(n, nullptr);
    }
    void TearDown() override { SetUp(); }
};

TEST_F(EnvBlockWin, TextWithoutEntriesGivesNone) {
    for (const char* text : {"", "\n\n", "novalue\n=x\n=\n"})
        EXPECT_EQ(cron_build_env_block(text), nullptr) << text;
    EXPECT_EQ(cron_build_env_block(nullptr), nullptr);
}

TEST_F(EnvBlockWin, NewVariablesFollowTheParentInTextOrder) {
    EXPECT_EQ(build("QC_T_D=2\nQC_T_A=1"), with(parent(), {L"QC_T_D=2", L"QC_T_A=1"}));
}

TEST_F(EnvBlockWin, OverrideReplacesInPlaceWithTheJobsLetterCase) {
    ::SetEnvironmentVariableW(L"Qc_T_Path", L"Y");
    strings expect = parent();
    for (auto& s : expect)
        if (s == L"Qc_T_Path=Y") s = L"QC_T_PATH=X";
    EXPECT_EQ(build("QC_T_PATH=X"), expect);
}

TEST_F(EnvBlockWin, LinesAreTakenLiterally) {
    strings p = parent();
    EXPECT_EQ(build("QC_T_A=1\r\n"), with(p, {L"QC_T_A=1\r"}));
    EXPECT_EQ(build(" QC_T_A = v"), with(p, {L" QC_T_A = v"}));
    EXPECT_EQ(build("QC_T_A=B=C\nQC_T_D="), with(p, {L"QC_T_A=B=C", L"QC_T_D="}));
    EXPECT_EQ(build("QC_T_A=caf\xc3\xa9"), with(p, {L"QC_T_A=caf\u00e9"}));
}

TEST_F(EnvBlockWin, PrefixOfAParentNameDoesNotMatch) {
    ::SetEnvironmentVariableW(L"QC_T_AB", L"1");
    EXPECT_EQ(build("QC_T_A=2"), with(parent(), {L"QC_T_A=2"}));
}

TEST_F(EnvBlockWin, DuplicateNamesReplaceOnceThenAppend) {
    EXPECT_EQ(build("QC_T_D=1\nQC_T_D=2"), with(parent(), {L"QC_T_D=1", L"QC_T_D=2"}));
    ::SetEnvironmentVariableW(L"QC_T_D", L"0");
    strings expect = parent();
    for (auto& s : expect)
        if (s == L"QC_T_D=0") s = L"QC_T_D=1";
    EXPECT_EQ(build("QC_T_D=1\nQC_T_D=2"), with(expect, {L"QC_T_D=2"}));
}

TEST_F(EnvBlockWin, AtMost32EntriesAndCutsAt255Bytes) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "QC_T_N" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    strings got = build(text.c_str());
    strings p = parent();
    ASSERT_EQ(got.size(), p.size() + 32);
    EXPECT_EQ(got.back(), L"QC_T_N31=31");

    std::string long_value = "QC_T_A=" + std::string(300, 'v');
    EXPECT_EQ(build(long_value.c_str()).back(), L"QC_T_A=" + std::wstring(255, L'v'));
    std::string long_name = std::string(300, 'N') + "=1";
    EXPECT_EQ(build(long_name.c_str()).back(), std::wstring(255, L'N') + L"=1");
}

}  // namespace
