// The programs for real encoders take the loader texts from installed files
// only (this test links that lookup over the virtual bus): without them
// nothing reaches the encoder; without the password only the mass-erase path.
#include "cli/exit_codes.h"
#include "cli_test_env.h"
#include "sim/encoder_images.h"
#include "sim/virtual_device.h"

using namespace vardo;
using namespace vardo::clitest;

namespace {

class InstalledTextsTest : public CliTest {
protected:
    void SetUp() override
    {
        CliTest::SetUp();
        removeEncoders();
        device = std::make_unique<sim::VirtualEncoderDevice>();
    }
    void TearDown() override
    {
        device.reset();
        CliTest::TearDown();
    }
    void install(const char* name, const std::string& text)
    {
        std::filesystem::create_directories(dataHome + "/VardoInterface/loader");
        writeFile(dataHome + "/VardoInterface/loader/" + name, text);
    }
    std::unique_ptr<sim::VirtualEncoderDevice> device;
};

} // namespace

TEST_F(InstalledTextsTest, WithoutARamLoaderNothingReachesTheEncoder)
{
    const auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err.rfind("No RAM loader: the firmware upgrade needs the file \"RAM_BSL.Text\" (the MSP430 USB "
                          "loader's RAM loader, version 00.06.05.34). Put the file \"RAM_BSL.Text\" into "
                              + dataHome + "/VardoInterface/loader",
                          0),
              0u)
        << r.err;
    for (const char* folder : {VARDO_TEST_SYSTEM_LOADER_DIR, "/usr/share/vardo-encoder-utility/loader"})
        EXPECT_NE(r.err.find(folder), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("loader. Nothing was sent to the encoder.\n"), std::string::npos);
    EXPECT_TRUE(device->encoder().receivedCommands().empty());
    EXPECT_EQ(device->encoder().mode(), sim::EncoderMode::Application);
}

TEST_F(InstalledTextsTest, WithoutThePasswordOnlyAConfirmedMassEraseUpgrades)
{
    install("RAM_BSL.Text", sim::toTiTxt(sim::makeRamLoader()));
    auto r = run({"upgrade", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(device->encoder().receivedCommands().size(), 1u);   // the status read that names the firmware
    // --yes confirms the upgrade, not the erase: that takes its own consent.
    device->encoder().clearReceivedCommands();
    r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(r.err, "The encoder on 1-1 runs firmware 01.05A.\nNot upgraded: without the password the "
                     "application would be erased (confirm with --mass-erase, or give --password FILE).\n");
    EXPECT_EQ(device->encoder().receivedCommands().size(), 1u);

    r = run({"upgrade", "--yes", "--mass-erase", samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("No password text: the loader will erase the encoder's application first.\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("5% Mass erase occured!\n10% Password Sent Successfully\n"), std::string::npos) << r.out;
    EXPECT_EQ(device->loader().massErases(), 1);
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");

    // With the running firmware's vector table installed the application is not erased.
    const auto vectors = sim::encoderVectorTable();
    install("password.Text", sim::toTiTxt({{sim::kVectorTable, {vectors.begin(), vectors.end()}}}));
    r = run({"upgrade", "--yes", samplePath("01.05A")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("Mass erase"), std::string::npos);
    EXPECT_EQ(device->loader().massErases(), 1);
}
