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
#include "uninstaller/PackageRemoval.h"
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

// --- The packages, through stand-ins for dpkg-query and pkcon that log their arguments ---

TEST_F(UninstallerFunctions, PackagesAskDpkgForTheOwnerAndPkconToRemove) {
  const fs::path log = root_ / "log";
  const fs::path dpkgQuery = root_ / "dpkg-query";
  const fs::path pkcon = root_ / "pkcon";
  // dpkg-query owns exactly the bundle; pkcon fails with 5.
  std::ofstream(dpkgQuery) << "#!/bin/sh\necho \"dpkg-query $*\" >> '" << log.string() << "'\n"
                           << "[ \"$1\" = --search ] && [ \"$2\" = '" << bundle_.string() << "' ]\n";
  std::ofstream(pkcon) << "#!/bin/sh\necho \"pkcon $*\" >> '" << log.string() << "'\nexit 5\n";
  fs::permissions(dpkgQuery, fs::perms::owner_all);
  fs::permissions(pkcon, fs::perms::owner_all);

  PackageKitManager packages(dpkgQuery, pkcon);
  EXPECT_EQ(PackagesToRemove(packages, bundle_), std::vector<std::string>{"korvid-tessel"});
  EXPECT_TRUE(PackagesToRemove(packages, root_ / "elsewhere").empty());
  EXPECT_EQ(packages.Remove({"korvid-tessel", "korvid-tessel-dkms"}), 5);
  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "dpkg-query --search " + bundle_.string(),
                       std::string("dpkg-query --search ") + kModulePackageFiles,
                       "dpkg-query --search " + (root_ / "elsewhere").string(),
                       "pkcon --noninteractive remove korvid-tessel korvid-tessel-dkms"}));
  // Without pkcon nothing is removed, and the failure says how to do it by hand.
  EXPECT_EQ(PackageKitManager(dpkgQuery, root_ / "missing").Remove({"korvid-tessel"}), -1);
  EXPECT_NE(PackageRemovalFailureText(-1).find("could not be started"), std::string::npos);
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
