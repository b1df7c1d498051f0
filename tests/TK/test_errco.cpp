#include <gtest/gtest.h>

#include <set>
#include <string>

#include "TK/tk_errco.h"
#include "TK/tk_excep.h"

TEST(TkErrorConverter, ServerTableMessages)
{
    tk_error_converter conv(tk_sql_error_count, tk_sql_error_table);
    EXPECT_EQ(27, tk_sql_error_count);
    EXPECT_EQ(27u, conv.size());
    EXPECT_EQ("Invalid user name or password.", conv.convert(0x80E4D));
    EXPECT_EQ("", conv.convert(0));
    EXPECT_EQ("The specified table already exists. Try to connect as database owner\n"
              "using the appropriate checkbox on 'Connect to MS SQL server' wizard page.",
              conv.convert(0x80E3F));
    // Entries that send the user to support name the contact address.
    const std::string contact = tk_message(tk_msg_contact_mail);
    for (int code : {0x80E07, 0x80E11, 0x80E13, 0x80E21, 0x80E3C, 0x80E57, 0x80E72, 0x80EDA})
        EXPECT_NE(std::string::npos, conv.convert(code).find(contact)) << std::hex << code;
    EXPECT_EQ(0u, conv.convert(0x80E11).rfind("Invalid column ID. Please", 0));
}

TEST(TkErrorConverter, FirstEntryOfACodeWins)
{
    const tk_error_entry entries[] = {{7, "first"}, {7, "second"}, {8, "other"}};
    tk_error_converter conv(3, entries);
    EXPECT_EQ("first", conv.convert(7));
    EXPECT_EQ(2u, conv.size());
    EXPECT_THROW(tk_error_converter(1, nullptr), tk_mail_assertion);
}

TEST(TkMessageTable, RowsNarrowAndWide)
{
    EXPECT_STREQ("Unknown exception", tk_message(tk_msg_unknown_exception));
    EXPECT_STREQ("Internal error: \ncode=", tk_message(tk_msg_internal_error));
    EXPECT_STREQ("Logfile path does not exist.\nPlease verify the correct path was given.",
                 tk_message(tk_msg_log_no_path));
    EXPECT_STREQ(L"Selected Tables", tk_wmessage(tk_msg_selected_tables));
    EXPECT_STREQ(L"windows authentication", tk_wmessage(tk_msg_key_windows_auth));
    EXPECT_STREQ(L"direct mode", tk_wmessage(50));
    EXPECT_STREQ(L"The structure of data source does not conform to the destination table.",
                 tk_wmessage(tk_msg_not_conform));
    EXPECT_STREQ("", tk_message(30));       // rows of other database kinds are not held
    EXPECT_STREQ(L"", tk_wmessage(0));
    EXPECT_NE(std::string::npos, std::string(tk_message(tk_msg_contact_name)).find(tk_message(tk_msg_contact_mail)));
}
