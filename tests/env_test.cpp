// The child's environment: the job's NAME=VALUE lines merged over the process
// environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "proc/cron_proc.h"

extern "C" char** environ;

namespace {

using strings = std::vector<std::string>;

// Replaces the process environment with `vars` for the life of the object.
class fake_environ {
public:
    explicit fake_environ(const strings& vars) : saved_(environ), storage_(vars) {
        for (auto& s : storage_) ptrs_.push_back(s.data());
        ptrs_.push_back(nullptr);
        environ = ptrs_.data();
    }
    fake_environ(std::nullptr_t) : saved_(environ) { environ = nullptr; }
    ~fake_environ() { environ = saved_; }

private:
    char** saved_;
    strings storage_;
    std::vector<char*> ptrs_;
};

// The block as strings, released; `null` marks a null block.
strings build(const char* text) {
    char** block = cron_build_env_block(text);
    if (block == nullptr) return {"null"};
    strings out;
    for (char** p = block; *p != nullptr; ++p) out.emplace_back(*p);
    std::free(block);
    return out;
}

TEST(Env, NoBlockWithoutAnEntry) {
    fake_environ env({"A=1"});
    for (const char* text : {static_cast<const char*>(nullptr), "", "\n\n\n", "noequals\n=1\n\n=x=y"}) {
        SCOPED_TRACE(text ? text : "(null)");
        EXPECT_EQ(build(text), strings{"null"});
    }
}

TEST(Env, MergeOrderAndOverrides) {
    fake_environ env({"A=1", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=9"});
    struct {
        const char* text;
        strings want;
    } cases[] = {
        // New names follow the parent's, in the order of the text.
        {"Y=2\nX=1", {"A=1", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=9", "Y=2", "X=1"}},
        // An override stays in place; names compare case-sensitively.
        {"PATH=/x", {"A=1", "PATH=/x", "AB=2", "Path=lower", "NOEQ", "Z=9"}},
        {"path=/x", {"A=1", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=9", "path=/x"}},
        // A prefix is not a match; an empty value is a value.
        {"A=", {"A=", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=9"}},
        // The first '=' splits; the value keeps the rest.
        {"Z=B=C", {"A=1", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=B=C"}},
        // A repeated name: the first replaces, the second is appended.
        {"A=2\nA=3", {"A=2", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=9", "A=3"}},
        {"N=1\nN=2", {"A=1", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=9", "N=1", "N=2"}},
        // Nothing is trimmed: a carriage return and spaces belong to the entry.
        {"A=1\r\n A = v \n", {"A=1\r", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=9", " A = v "}},
        // Empty lines and lines without a name are skipped; the last line needs no line feed.
        {"\n\nbad\n=x\nQ=1\n\nR=2", {"A=1", "PATH=/bin", "AB=2", "Path=lower", "NOEQ", "Z=9", "Q=1", "R=2"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(build(c.text), c.want);
    }
}

TEST(Env, OneEntryReplacesEveryParentStringOfItsName) {
    // An environment may hold a name twice; the block must have room for both
    // replacements.
    std::string long_value(255, 'v');
    fake_environ env({"A=1", "B=2", "A=3"});
    EXPECT_EQ(build(("A=" + long_value).c_str()), (strings{"A=" + long_value, "B=2", "A=" + long_value}));
}

TEST(Env, EmptyParentEnvironment) {
    fake_environ env(nullptr);
    EXPECT_EQ(build("A=1\nB=2"), (strings{"A=1", "B=2"}));
    fake_environ empty({});
    EXPECT_EQ(build("A=1"), strings{"A=1"});
}

TEST(Env, AtMost32Entries) {
    fake_environ env({"KEEP=1"});
    std::string text;
    strings want{"KEEP=1"};
    for (int i = 1; i <= 40; ++i) {
        text += "V" + std::to_string(i) + "=" + std::to_string(i) + "\n";
        if (i <= CRON_ENV_MAX_VARS) want.push_back("V" + std::to_string(i) + "=" + std::to_string(i));
    }
    EXPECT_EQ(build(text.c_str()), want);
    // Skipped lines do not count; repeated names do.
    EXPECT_EQ(build(("junk\n\n" + text).c_str()).size(), 33u);
}

TEST(Env, NamesAndValuesCutTo255Bytes) {
    std::string name255(255, 'N');
    fake_environ env({name255 + "=parent", "B=1"});
    // A longer name is cut before it is compared, so it replaces the parent's.
    std::string text = name255 + "XYZ=" + std::string(300, 'v');
    EXPECT_EQ(build(text.c_str()), (strings{name255 + "=" + std::string(255, 'v'), "B=1"}));
    // A cut inside a character leaves a replacement character, not a broken sequence.
    std::string value = std::string(254, 'a') + "\xC3\xA9" + "tail";
    EXPECT_EQ(build(("E=" + value).c_str()),
              (strings{name255 + "=parent", "B=1", "E=" + std::string(254, 'a') + "\xEF\xBF\xBD"}));
}

TEST(Env, ProcessEnvironmentIsNotChanged) {
    fake_environ env({"A=1"});
    char** before = environ;
    build("A=2\nB=3");
    EXPECT_EQ(environ, before);
    EXPECT_STREQ(environ[0], "A=1");
    EXPECT_EQ(environ[1], nullptr);
}

}  // namespace
