#include "platform/text8.h"

#include <gtest/gtest.h>

using namespace vardo::platform;

TEST(NarrowLow8, KeepsLowByteAndStopsAtNul)
{
    EXPECT_EQ(narrowLow8(std::u16string_view(u"Vardo\u0141x\0tail", 12)), std::string("Vardo\x41x"));
    EXPECT_EQ(narrowLow8(L"Enc\u00e9"), std::string("Enc\xe9"));
    EXPECT_EQ(narrowLow8(static_cast<const wchar_t*>(nullptr)), "");
}

TEST(CopyToBuffer, CutsToCapacityAndTerminates)
{
    char buf[6];
    copyToBuffer("Unable To Find", buf, sizeof buf);
    EXPECT_STREQ(buf, "Unabl");
    copyToBuffer("None", buf, sizeof buf);
    EXPECT_STREQ(buf, "None");
    copyToBuffer("x", buf, 0); // nothing written, no crash
    EXPECT_STREQ(buf, "None");
}
