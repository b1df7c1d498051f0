#include <gtest/gtest.h>

#include <string>

#include "TK/tk_singl.h"

namespace {

struct engine : tk_singleton<engine> {
    explicit engine(int id) : id(id) {}
    int id;
};

} // namespace

TEST(TkSingleton, FirstObjectRegistersAndIsReached)
{
    EXPECT_TRUE(engine::is_null());
    {
        engine first(1);
        EXPECT_TRUE(engine::exists());
        EXPECT_EQ(1, engine::instance()->id);
        EXPECT_EQ(&first, &engine::ref());
        EXPECT_EQ(&first, engine::get());
    }
    EXPECT_TRUE(engine::is_null());
    EXPECT_EQ(nullptr, engine::get());
}

TEST(TkSingleton, SecondObjectDoesNotUnregisterFirst)
{
    engine first(1);
    {
        engine second(2);
        EXPECT_EQ(&first, &engine::ref());
    }
    // The second one's end leaves the first reachable.
    ASSERT_TRUE(engine::exists());
    EXPECT_EQ(1, engine::ref().id);
}

TEST(TkSingleton, MissingInstanceIsInternalErrorWithTwoCodes)
{
    ASSERT_TRUE(engine::is_null());
    std::string a, b;
    try {
        engine::instance();
    } catch (const tk_mail_assertion& e) {
        EXPECT_EQ(2, e.level());
        a = e.what();
    }
    try {
        engine::ref();
    } catch (const tk_mail_assertion& e) {
        b = e.what();
    }
    EXPECT_EQ("Internal error: \ncode=" + tk_position_code("TK/tk_singl.h", 64), a);
    EXPECT_EQ("Internal error: \ncode=" + tk_position_code("TK/tk_singl.h", 71), b);
}
