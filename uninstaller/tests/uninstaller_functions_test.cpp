// SPDX-License-Identifier: MIT
// The uninstaller's functions: its resources, the quit request by process name, and the
// privileged tool run with its checks.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/admin/testing/FakePrivilegedRunner.h"
#include "platform/events/testing/FakeEventPort.h"
#include "platform/files/MainBundle.h"
#include "platform/process/testing/FakeProcessTable.h"
#include "uninstaller/UninstallerFunctions.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;

class UninstallerFunctions : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvid-uninstaller-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    bundle_ = root_ / "Uninstall Korvid Tessel.app";
    fs::create_directories(bundle_ / "Resources");
    std::ofstream(bundle_ / "Resources/ekorvid") << "#!/bin/sh\nexit 0\n# KORVID-SIGNATURE\n";
    OverrideMainBundleFolder(bundle_);
  }
  void TearDown() override {
    OverrideMainBundleFolder(std::nullopt);
    fs::remove_all(root_);
  }
  ItemRef Tool() {
    ItemRef tool;
    EXPECT_EQ(GetNamedResourceRef("ekorvid", &tool), noErr);
    return tool;
  }

  fs::path root_;
  fs::path bundle_;
};

// --- Resources of the main bundle ---

TEST_F(UninstallerFunctions, ResourceFoundInTheBundlesResources) {
  std::optional<fs::path> url;
  ASSERT_EQ(CopyNamedResourceURL("ekorvid", &url), noErr);
  EXPECT_EQ(*url, bundle_ / "Resources/ekorvid");
  EXPECT_EQ(CopyNamedResourceURL("ekorvid", nullptr), noErr);
}

TEST_F(UninstallerFunctions, ResourceStatuses) {
  std::optional<fs::path> url = fs::path("stale");
  EXPECT_EQ(CopyNamedResourceURL("missing", &url), fnfErr);
  EXPECT_FALSE(url.has_value());  // always written
  EXPECT_EQ(CopyNamedResourceURL(nullptr, &url), resNotFound);
  EXPECT_EQ(CopyNamedResourceURL("../Resources/ekorvid", &url), fnfErr);
  ItemRef ref;
  EXPECT_EQ(GetNamedResourceRef("missing", &ref), fnfErr);
  OverrideMainBundleFolder(std::nullopt);
  EXPECT_EQ(CopyNamedResourceURL("ekorvid", &url), ioErr);
  EXPECT_EQ(GetNamedResourceRef("ekorvid", &ref), ioErr);
}

TEST(MainBundle, FoundFromTheExecutablesPlace) {
  EXPECT_EQ(BundleFolderOf("/x/Uninstall Korvid Tessel.app/Uninstall Korvid Tessel"),
            fs::path("/x/Uninstall Korvid Tessel.app"));
  EXPECT_FALSE(BundleFolderOf("/x/Tool.app/Contents/MacOS/Tool").has_value());  // not a layout of ours
  EXPECT_FALSE(BundleFolderOf("/usr/bin/tool").has_value());
}

// --- Quitting a process by name ---

class SendEventTest : public ::testing::Test {
 protected:
  FakeProcessTable processes_{1};
  FakeEventBus bus_;
  FakeEventPort self_{bus_, 1};
};

TEST_F(SendEventTest, FirstProcessOfTheNameGetsTheQuitEventWithoutReply) {
  FakeEventPort first(bus_, 20);
  FakeEventPort second(bus_, 30);
  processes_.Add(10, "other");
  processes_.Add(20, "korvidtesselhelper");
  processes_.Add(30, "KorvidTesselHelper");
  EXPECT_EQ(SendEventToNamedProcess(processes_, self_, MakeStr255("KorvidTesselHelper"), kCoreEventClass,
                                    kAEQuitApplication),
            noErr);
  ASSERT_EQ(bus_.Sent().size(), 1u);
  EXPECT_EQ(bus_.Sent()[0].to, 20u);
  EXPECT_EQ(bus_.Sent()[0].mode, kAENoReply);
  EXPECT_EQ(bus_.Sent()[0].timeoutTicks, kAEDefaultTimeout);
  EXPECT_EQ(bus_.Sent()[0].event.eventID, kAEQuitApplication);
}

TEST_F(SendEventTest, NoSuchProcessEndsTheWalk) {
  processes_.Add(10, "other");
  EXPECT_EQ(SendEventToNamedProcess(processes_, self_, MakeStr255("KorvidTesselHelper"), kCoreEventClass,
                                    kAEQuitApplication),
            procNotFound);
  EXPECT_TRUE(bus_.Sent().empty());
}

TEST_F(SendEventTest, UnreadableProcessIsPassedOver) {
  FakeEventPort helper(bus_, 30);
  processes_.Add(20, "KorvidTesselHelper");
  processes_.FailNameOf(20, procNotFound);
  processes_.Add(30, "KorvidTesselHelper");
  EXPECT_EQ(SendEventToNamedProcess(processes_, self_, MakeStr255("KorvidTesselHelper"), kCoreEventClass,
                                    kAEQuitApplication),
            noErr);
  ASSERT_EQ(bus_.Sent().size(), 1u);
  EXPECT_EQ(bus_.Sent()[0].to, 30u);
}

TEST_F(SendEventTest, ZeroCodesOnlyLookUp) {
  processes_.Add(20, "KorvidTesselHelper");
  EXPECT_EQ(SendEventToNamedProcess(processes_, self_, MakeStr255("KorvidTesselHelper"), 0, 0), noErr);
  EXPECT_TRUE(bus_.Sent().empty());
}

TEST_F(SendEventTest, ProcessWithoutAPortGivesTheSendStatus) {
  bus_.AddProcessWithoutPort(20);
  processes_.Add(20, "KorvidTesselHelper");
  EXPECT_EQ(SendEventToNamedProcess(processes_, self_, MakeStr255("KorvidTesselHelper"), kCoreEventClass,
                                    kAEQuitApplication),
            connectionInvalid);
}

// --- Running the tool ---

TEST_F(UninstallerFunctions, ToolRunsWithItsArgumentsAndGivesItsStatus) {
  FakePrivilegedRunner runner;
  const char* const arguments[] = {"--runekorv", nullptr};
  runner.toolExit = 2;
  EXPECT_EQ(ExecuteToolWithPrivileges(runner, Tool(), arguments, 0, nullptr, 0), 2);
  EXPECT_EQ(runner.lastTool, bundle_ / "Resources/ekorvid");
  EXPECT_EQ(runner.lastArguments, std::vector<std::string>{"--runekorv"});
  runner.toolExit = 0;
  EXPECT_EQ(ExecuteToolWithPrivileges(runner, Tool(), nullptr, 0, nullptr, 0), noErr);
  EXPECT_TRUE(runner.lastArguments.empty());
}

TEST_F(UninstallerFunctions, AuthorisationFailureIsReturnedAndNoToolStatus) {
  FakePrivilegedRunner runner;
  runner.status = errAuthorizationCanceled;
  EXPECT_EQ(ExecuteToolWithPrivileges(runner, Tool(), nullptr, 0, nullptr, 0), errAuthorizationCanceled);
}

TEST_F(UninstallerFunctions, SizeAndSignatureChecks) {
  FakePrivilegedRunner runner;
  const ItemRef tool = Tool();
  const auto size = static_cast<std::uint32_t>(fs::file_size(bundle_ / "Resources/ekorvid"));
  EXPECT_EQ(ExecuteToolWithPrivileges(runner, tool, nullptr, size + 1, nullptr, 0), ioErr);
  EXPECT_EQ(runner.runs, 0);
  EXPECT_EQ(ExecuteToolWithPrivileges(runner, tool, nullptr, size, nullptr, 0), noErr);
  const std::string present = "KORVID-SIGNATURE";
  const std::string absent = "NOT-THERE";
  EXPECT_EQ(ExecuteToolWithPrivileges(runner, tool, nullptr, 0,
                                      reinterpret_cast<const std::uint8_t*>(present.data()),
                                      static_cast<std::uint32_t>(present.size())),
            noErr);
  EXPECT_EQ(ExecuteToolWithPrivileges(runner, tool, nullptr, 0,
                                      reinterpret_cast<const std::uint8_t*>(absent.data()),
                                      static_cast<std::uint32_t>(absent.size())),
            kSignatureNotFound);
  // A signature of length 0 is not searched for.
  EXPECT_EQ(ExecuteToolWithPrivileges(runner, tool, nullptr, 0,
                                      reinterpret_cast<const std::uint8_t*>(absent.data()), 0),
            noErr);
  EXPECT_EQ(runner.runs, 3);
}

TEST(SignatureSearch, RestartsAtTheFirstByteOnly) {
  const auto bytes = [](const char* text) {
    return std::vector<std::uint8_t>(text, text + std::char_traits<char>::length(text));
  };
  EXPECT_TRUE(FindSignature(bytes("xxabcxx"), bytes("abc")));
  EXPECT_TRUE(FindSignature(bytes("aabc"), bytes("abc")));
  EXPECT_TRUE(FindSignature(bytes("q"), bytes("q")));
  EXPECT_FALSE(FindSignature(bytes("ab"), bytes("abc")));
  // The search restarts at the failing byte without looking back: "aab" inside "aaab"
  // is missed.
  EXPECT_FALSE(FindSignature(bytes("aaab"), bytes("aab")));
}

}  // namespace
}  // namespace korvid
