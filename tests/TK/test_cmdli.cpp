// Prefix matching of command-line options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TK/tk_cmdli.h"
#include "TK/tk_excep.h"

namespace {

const tk_cmd_option table[] = {{0, "--dest="}, {1, "--dump"}, {2, "--d"}, {0, ""}};

struct parsed {
    std::vector<int> ids;
    std::vector<std::string> values;
    std::vector<std::string> free;
};

parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    ansi_cmd_line cmd(static_cast<int>(argv.size()), argv.data(), table);
    parsed p;
    for (; cmd.check(); cmd.next()) {
        p.ids.push_back(cmd.id());
        p.values.push_back(cmd.value() ? cmd.value() : "<none>");
    }
    for (const char* f : cmd.free_params())
        p.free.push_back(f);
    return p;
}

} // namespace

TEST(TkCmdLine, FirstPrefixInTableOrderWins)
{
    parsed p = parse({"--dest=a=b", "--dumpster", "--dx", "path", "--dest="});
    EXPECT_EQ(p.ids, (std::vector<int>{0, 1, 2, -1, 0}));
    EXPECT_EQ(p.values[0], "a=b");
    EXPECT_EQ(p.values[1], "ster");
    EXPECT_EQ(p.values[3], "<none>");
    EXPECT_EQ(p.values[4], "");
    EXPECT_EQ(p.free, std::vector<std::string>{"path"});
}

TEST(TkCmdLine, ManyFreeArgumentsAreKeptNotFatal)
{
    std::vector<std::string> args(30, "x");
    parsed p = parse(args);
    EXPECT_EQ(p.free.size(), 30u);
}

TEST(TkCmdLine, NextPastTheEndIsAnInternalError)
{
    std::string prog = "prog";
    char* argv[] = {prog.data(), nullptr};
    ansi_cmd_line cmd(1, argv, table);
    EXPECT_FALSE(cmd.check());
    EXPECT_THROW(cmd.next(), tk_mail_assertion);
}
