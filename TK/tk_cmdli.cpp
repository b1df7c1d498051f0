#include "TK/tk_cmdli.h"

#include <cstring>

#include "TK/tk_excep.h"

ansi_cmd_line::ansi_cmd_line(int argc, char** argv, const tk_cmd_option* table)
    : table_(table), cursor_(argv + 1), remaining_(argc - 1)
{
    if (argc != 1)
        parse();
}

void ansi_cmd_line::next()
{
    if (!check())
        throw tk_mail_assertion("TK/tk_cmdli.h", 60);
    ++cursor_;
    --remaining_;
    if (check())
        parse();
}

void ansi_cmd_line::parse()
{
    if (!check())
        throw tk_mail_assertion("TK/tk_cmdli.h", 19);
    const char* arg = *cursor_;
    const tk_cmd_option* opt = table_;
    // The terminating entry's empty prefix matches anything, so the scan always ends.
    while (*opt->prefix && std::strncmp(arg, opt->prefix, std::strlen(opt->prefix)) != 0)
        ++opt;
    if (*opt->prefix) {
        id_ = opt->id;
        value_ = arg + std::strlen(opt->prefix);
        return;
    }
    id_ = -1;
    value_ = nullptr;
    // Any free argument ends in the usage text, so there is no need to stop at a count.
    free_.push_back(arg);
}
