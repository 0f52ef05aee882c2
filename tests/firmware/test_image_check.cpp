// A chosen file is checked whole before the device is touched.
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"
#include "sim/encoder_images.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

using vardo::firmware::checkFirmwareFile;
using vardo::firmware::ImageCheck;

TEST(ImageCheck, AcceptsTheSampleFirmware)
{
    TempFolder folder;
    const auto path = folder.write("fw.txt", vardo::sim::toTiTxt(vardo::sim::makeEncoderFirmware("01.06A")));
    const auto r = checkFirmwareFile(path);
    EXPECT_EQ(r.result, ImageCheck::Ok);
    EXPECT_EQ(r.reason, "");
}

TEST(ImageCheck, RefusesMalformedImagesWithTheLineAndTheReason)
{
    TempFolder folder;
    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {"@4400\r\n01 X2\r\nq", "line 2: bad hexadecimal digit in \"X2\""},
        {"@4400\r\n01 2\r\nq", "line 2: \"2\" is not a two-digit byte"},
        {"@4400\r\n00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\r\nq",
         "line 2: more than 16 bytes on one line"},
        {"@4400\r\n01 02\r\n", "line 3: the image does not end with \"q\""},
        {"@2400\r\n01\r\nq", "line 2: address 0x2400 lies outside the encoder's flash (0x4400-0xFFFF)"},
        {"@FFFF\r\n01 02\r\nq",
         "line 2: address 0x10000 lies outside the encoder's flash (0x4400-0xFFFF)"},
        {"@4400\r\n01 02 03\r\n@4402\r\n09\r\nq", "line 4: address 0x4402 is given twice"},
        {"@4400\r\nq", "the image holds no data"},
        // The encoder would start its loader again after the restart.
        {"@4400\r\n01 02\r\n@FFFE\r\nFF FF\r\nq", "the reset vector 0xFFFF points outside the image's code"},
        {"@4400\r\n01 02\r\n@FFFE\r\n00 45\r\nq", "the reset vector 0x4500 points outside the image's code"},
        {"@4400\r\n01 02\r\n@FFFE\r\n01 44\r\nq", "the reset vector 0x4401 points outside the image's code"},
        {"", "line 1: the image does not end with \"q\""},
    };
    for (const Case& c : cases) {
        const auto r = checkFirmwareFile(folder.write("bad.txt", c.text));
        EXPECT_EQ(r.result, ImageCheck::Malformed) << c.text;
        EXPECT_EQ(r.reason, c.reason);
    }
}

TEST(ImageCheck, TellsAFileThatCannotBeOpened)
{
    TempFolder folder;
    EXPECT_EQ(checkFirmwareFile((folder.path() / "none.txt").string()).result, ImageCheck::CannotOpen);
}

// Loader texts named on the command line that cannot be used say why.
TEST(LoaderTextFiles, TooLargeOnesAndTwoPasswordsAreRefusedWithTheReason)
{
    using vardo::firmware::findLoaderTexts;
    TempFolder folder;
    std::string bytes16;
    for (int i = 0; i < 16; ++i)
        bytes16 += "A5 ";
    const std::string password = "@FFE0\r\n" + bytes16 + "\r\n" + bytes16 + "\r\n";
    const std::string big = folder.write("big.txt", std::string(vardo::firmware::kLoaderTextLimit + 1, '\n'));
    const std::string twice = folder.write("twice.txt", password + password + "q\r\n");
    const std::string overlap = folder.write("overlap.txt", password + "@FFFE\r\n00 44\r\nq\r\n");
    const std::string tooLarge = "The file '" + big + "' is too large (1048577 bytes, at most 1048576).";
    struct Case {
        std::string ram, password, ramProblem, passwordProblem;
    };
    const Case cases[] = {
        {big, "", tooLarge, ""},
        {"", big, "", tooLarge},
        {"", twice, "", "The password " + twice + " is not usable: line 5: address 0xFFE0 is given twice."},
        {"", overlap, "", "The password " + overlap + " is not usable: line 5: address 0xFFFE is given twice."},
    };
    for (const Case& c : cases) {
        const auto found = findLoaderTexts(c.ram, c.password);
        EXPECT_EQ(found.ramLoaderProblem, c.ramProblem);
        EXPECT_EQ(found.passwordProblem, c.passwordProblem);
        EXPECT_FALSE(found.passwordMissing);   // never taken for "no password": that would mass-erase
    }
}
