// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "pane/loginitems/LoginItems.h"
#include "platform/files/LockedFile.h"
#include "platform/files/PropertyList.h"
#include "platform/files/tests/TestFolder.h"

namespace korvid {
namespace {
namespace fs = std::filesystem;
using testing::ReadFile;
using testing::ReadWithPlistlib;
using testing::TempFolder;
using testing::WriteFile;

constexpr const char* kHelper = "/usr/local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane/Resources/KorvidTesselHelper.app";

// A login items document: entries written as {"Hide": hide, "Path": path}.
std::string Document(const std::vector<std::string>& elements, const std::string& rootExtra = "") {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + rootExtra +
                    "<key>AutoLaunchedApplicationDictionary</key><array>";
  for (const std::string& element : elements) xml += element;
  return xml + "</array></dict></plist>\n";
}
std::string Entry(const std::string& path, bool hide = false) {
  return std::string("<dict><key>Hide</key>") + (hide ? "<true/>" : "<false/>") + "<key>Path</key><string>" + path +
         "</string></dict>";
}
// The same entry as plistlib reports it.
std::string Seen(const std::string& path, bool hide = false) {
  return std::string(R"({"Hide":{"bool":)") + (hide ? "true" : "false") + R"(},"Path":")" + path + "\"}";
}
std::string SeenList(const std::vector<std::string>& seen, const std::string& rootExtra = "") {
  std::string json = "{" + rootExtra + R"("AutoLaunchedApplicationDictionary":[)";
  for (std::size_t i = 0; i < seen.size(); ++i) json += (i ? "," : "") + seen[i];
  return json + "]}";
}

ino_t Inode(const fs::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class LoginItems : public ::testing::Test {
 protected:
  LoginItems() : folders_(FolderLocator::RootedAt(temp_.path())) {
    fs::create_directories(Preferences());
  }
  fs::path Preferences() const { return temp_.path() / "home/user/.config/korvid"; }
  fs::path File() const { return Preferences() / "loginWindow.plist"; }
  void Write(const std::string& text) { WriteFile(File(), text); }
  std::string Python() const { return ReadWithPlistlib(File()); }

  OSStatus Add(const char* path, std::uint16_t replace = 1, std::uint16_t hide = 0, const char* other = nullptr) {
    found_ = 7;
    return AddLoginItem(folders_, path, other, hide, replace, &found_);
  }
  OSStatus Remove(const char* name) {
    count_ = 99;
    return RemoveLoginItem(folders_, name, &count_);
  }

  TempFolder temp_;
  FolderLocator folders_;
  std::uint16_t found_ = 7;
  std::uint16_t count_ = 99;
};

// --- the file and its state ---

TEST_F(LoginItems, AddCreatesAMissingFileWithOneEntry) {
  ASSERT_EQ(Add(kHelper), noErr);
  EXPECT_EQ(found_, 0);
  EXPECT_EQ(Python(), SeenList({Seen(kHelper)}));
}

TEST_F(LoginItems, AddMakesAMissingPreferencesFolder) {
  fs::remove_all(Preferences());
  ASSERT_EQ(Add(kHelper), noErr);
  EXPECT_EQ(Python(), SeenList({Seen(kHelper)}));
}

TEST_F(LoginItems, RemoveFromAMissingFileLeavesItEmptyAndIsNotFound) {
  EXPECT_EQ(Remove("KorvidTesselHelper.app"), resNotFound);
  EXPECT_EQ(count_, 0);
  EXPECT_TRUE(fs::exists(File()));
  EXPECT_EQ(ReadFile(File()), "");
}

TEST_F(LoginItems, RemoveWithoutAPreferencesFolderFailsWithoutTouchingTheCount) {
  fs::remove_all(Preferences());
  EXPECT_EQ(Remove("KorvidTesselHelper.app"), fnfErr);
  EXPECT_EQ(count_, 99);
}

TEST_F(LoginItems, EmptyOrDamagedFileIsReplacedByAddKeptBesideItAndLeftByRemove) {
  // A list holding arrays nested deeper than any recursive reader's or writer's stack
  // allows, however they open.
  const auto deep = [](const std::string& open, int levels, const std::string& inner = "") {
    std::string arrays;
    for (int i = 0; i < levels; ++i) arrays += open;
    arrays += inner;
    for (int i = 0; i < levels; ++i) arrays += "</array>";
    return Document({Entry("/c/X.app"), arrays});
  };
  std::string unclosed = "<plist version=\"1.0\">";
  for (int i = 0; i < 200000; ++i) unclosed += "<array>";
  // A list key twice: whichever list a reader kept, the other's entries would be lost.
  std::string twice = Document({Entry("/c/X.app")}, "<key>AutoLaunchedApplicationDictionary</key><array>" +
                                                        Entry("/c/Y.app") + "</array>");
  const std::string damaged[] = {"", "<plist><dict><key>Auto", "\x01\x02 binary junk", std::string(4096, '\0'),
                                 Document({Entry("/c/X.app")}).substr(0, 150), unclosed,
                                 deep("<array a=\"/>\">", 50000), deep("<array a=\"><!--\">", 50000, "<true b=\"-->\"/>"),
                                 twice};
  const fs::path copy = File().string() + ".damaged";
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text.substr(0, 40));
    Write(text);
    EXPECT_EQ(Remove("KorvidTesselHelper.app"), resNotFound);
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(ReadFile(File()), text);
    ASSERT_EQ(Add(kHelper), noErr);
    EXPECT_EQ(Python(), SeenList({Seen(kHelper)}));
    if (!text.empty()) {
      EXPECT_EQ(ReadFile(copy), text);  // the latest damaged bytes, for recovery by hand
    }
  }
}

TEST_F(LoginItems, AListWithAByteOrderMarkOrInUtf16KeepsEveryEntry) {
  const std::string utf8 = Document({Entry("/c/Caf\xC3\xA9.app", true)});
  std::string declared16 = utf8;
  declared16.replace(declared16.find("UTF-8"), 5, "UTF-16");
  // ASCII and "é" (U+00E9) in UTF-16, each byte order.
  const auto utf16 = [&](bool little) {
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    for (std::size_t i = 0; i < declared16.size(); ++i) {
      char unit = declared16[i];
      if (declared16.compare(i, 2, "\xC3\xA9") == 0) {
        unit = '\xE9';
        ++i;
      }
      out += little ? std::string{unit, '\0'} : std::string{'\0', unit};
    }
    return out;
  };
  for (const std::string& text : {"\xEF\xBB\xBF" + utf8, utf16(true), utf16(false)}) {
    SCOPED_TRACE(text.substr(0, 2));
    Write(text);
    ASSERT_EQ(ReadWithPlistlib(File()), SeenList({Seen("/c/Caf\xC3\xA9.app", true)}));  // standard readers agree
    ASSERT_EQ(Add(kHelper), noErr);
    EXPECT_EQ(Python(), SeenList({Seen("/c/Caf\xC3\xA9.app", true), Seen(kHelper)}));
    EXPECT_FALSE(fs::exists(File().string() + ".damaged"));
  }
}

TEST_F(LoginItems, AWriterRemovesTheStaleTemporariesOfItsFileOnly) {
  Write(Document({Entry("/c/X.app")}));
  const bool root = geteuid() == 0;
  // Root editing a user's file removes that user's temporaries, no one else's.
  constexpr uid_t kUser = 64001;
  constexpr uid_t kOther = 64002;
  if (root) {
    ASSERT_EQ(chown(File().c_str(), kUser, kUser), 0);
  }
  const timespec old[2] = {{UTIME_OMIT, 0}, {time(nullptr) - 2 * kStaleTemporarySeconds, 0}};
  const auto age = [&](const fs::path& path) { utimensat(AT_FDCWD, path.c_str(), old, AT_SYMLINK_NOFOLLOW); };
  const std::string ours = std::string(".loginWindow.plist") + kTemporaryMarker;
  struct Planted {
    std::string name;
    bool stale;
    uid_t owner;
    bool goes;
  };
  const Planted planted[] = {
      {ours + "a1B2c3", true, kUser, true},                    // a killed writer's
      {ours + "Zz9Yy8", false, kUser, false},                  // maybe a writer at work
      {ours + "Ot4er0", true, kOther, !root},                  // another user's (for root)
      {".loginWindow.plist.backup", true, kUser, false},       // the user's own
      {".loginWindow.plist.bak", true, kUser, false},
      {"x" + ours.substr(1) + "a1B2c3", true, kUser, false},   // not hidden: not ours
      {".loginWindow.plist_korvid-partial-a1B2c3", true, kUser, false},
      {".other.plist" + std::string(kTemporaryMarker) + "a1B2c3", true, kUser, false},  // another file's
  };
  for (const Planted& p : planted) {
    WriteFile(Preferences() / p.name, "partial");
    if (root) {
      ASSERT_EQ(chown((Preferences() / p.name).c_str(), p.owner, p.owner), 0);
    }
    if (p.stale) age(Preferences() / p.name);
  }
  // A link of the pattern stays, however old it and its target are.
  WriteFile(temp_.path() / "elsewhere", "kept");
  age(temp_.path() / "elsewhere");
  fs::create_symlink(temp_.path() / "elsewhere", Preferences() / (ours + "L1nk00"));
  age(Preferences() / (ours + "L1nk00"));
  ASSERT_EQ(Add(kHelper), noErr);
  for (const Planted& p : planted) EXPECT_EQ(fs::exists(Preferences() / p.name), !p.goes) << p.name;
  EXPECT_TRUE(fs::is_symlink(Preferences() / (ours + "L1nk00")));
  EXPECT_EQ(ReadFile(temp_.path() / "elsewhere"), "kept");
}

TEST_F(LoginItems, RemoveWithoutTheListIsNotFoundAndWritesNothing) {
  const std::string text = "<plist><dict><key>Other</key><string>x</string></dict></plist>";
  Write(text);
  EXPECT_EQ(Remove("x"), resNotFound);
  EXPECT_EQ(ReadFile(File()), text);
}

// --- the item itself ---

TEST_F(LoginItems, AddingTheSamePathTwiceWritesNothingAndKeepsHide) {
  Write(Document({Entry("/Apps/Other.app"), Entry(kHelper, true)}));
  const std::string before = ReadFile(File());
  const ino_t inode = Inode(File());
  ASSERT_EQ(Add(kHelper, 1, /*hide=*/0), noErr);
  EXPECT_EQ(found_, 1);
  EXPECT_EQ(ReadFile(File()), before);
  EXPECT_EQ(Inode(File()), inode);  // not even rewritten with the same bytes
}

TEST_F(LoginItems, APathDifferingOnlyInCaseIsTheItemItself) {
  const std::string upper = "/USR/LOCAL/LIB/KORVID/PREFERENCEPANES/KORVID TESSEL.PREFPANE/RESOURCES/KORVIDTESSELHELPER.APP";
  Write(Document({Entry(upper)}));
  ASSERT_EQ(Add(kHelper), noErr);
  EXPECT_EQ(found_, 1);
  EXPECT_EQ(Python(), SeenList({Seen(upper)}));

  // Beyond ASCII too.
  Write(Document({Entry("/Ünïcødé/Ä.app")}));
  ASSERT_EQ(Add("/üNÏCØDÉ/ä.app"), noErr);
  EXPECT_EQ(found_, 1);
}

TEST_F(LoginItems, SeveralExactEntriesBecomeOneWithTheNewHide) {
  Write(Document({Entry("/Apps/A.app"), Entry(kHelper, false), Entry("/Apps/B.app"),
                  "<dict><key>Path</key><string>" + std::string(kHelper) + "</string><key>Extra</key><integer>1</integer></dict>"}));
  ASSERT_EQ(Add(kHelper, 0, /*hide=*/1), noErr);
  EXPECT_EQ(found_, 1);
  EXPECT_EQ(Python(), SeenList({Seen("/Apps/A.app"), Seen(kHelper, true), Seen("/Apps/B.app")}));
}

// --- namesakes ---

TEST_F(LoginItems, ANamesakeIsReplacedInPlaceWithReplace) {
  Write(Document({Entry("/Apps/A.app"), Entry("/old/place/KorvidTesselHelper.app", true), Entry("/Apps/B.app")}));
  ASSERT_EQ(Add(kHelper, /*replace=*/1), noErr);
  EXPECT_EQ(found_, 0);
  EXPECT_EQ(Python(), SeenList({Seen("/Apps/A.app"), Seen(kHelper), Seen("/Apps/B.app")}));
}

TEST_F(LoginItems, ANamesakeStaysAndTheItemIsAppendedWithoutReplace) {
  Write(Document({Entry("/old/place/KorvidTesselHelper.app", true), Entry("/Apps/B.app")}));
  ASSERT_EQ(Add(kHelper, /*replace=*/0), noErr);
  EXPECT_EQ(found_, 0);
  EXPECT_EQ(Python(),
            SeenList({Seen("/old/place/KorvidTesselHelper.app", true), Seen("/Apps/B.app"), Seen(kHelper)}));
}

TEST_F(LoginItems, NamesakeSuffixesAreCaseSensitiveAndNotAnchoredAtASlash) {
  Write(Document({Entry("/Apps/MyKorvidTesselHelper.app"), Entry("/Apps/korvidtesselhelper.app")}));
  ASSERT_EQ(Add(kHelper, 1), noErr);
  EXPECT_EQ(Python(), SeenList({Seen(kHelper), Seen("/Apps/korvidtesselhelper.app")}));
}

TEST_F(LoginItems, ItemNamesOfPathsWithoutOrEndingInASlash) {
  // A path ending in "/" keeps it in its name: "Helper.app/".
  Write(Document({Entry("/a/Helper.app"), Entry("/b/Helper.app/")}));
  ASSERT_EQ(Add("/c/Helper.app/", 0), noErr);
  EXPECT_EQ(Python(), SeenList({Seen("/a/Helper.app"), Seen("/b/Helper.app/"), Seen("/c/Helper.app/")}));
  ASSERT_EQ(Add("/d/Helper.app/", 1), noErr);
  EXPECT_EQ(Python(), SeenList({Seen("/a/Helper.app"), Seen("/d/Helper.app/")}));
  // A path without "/" is its own name.
  Write(Document({Entry("/x/Helper.app")}));
  ASSERT_EQ(Add("Helper.app", 1), noErr);
  EXPECT_EQ(Python(), SeenList({Seen("Helper.app")}));
}

TEST_F(LoginItems, TheOtherSuffixAlsoMarksTheApplication) {
  Write(Document({Entry("/Apps/Old Name.app"), Entry("/Apps/B.app")}));
  ASSERT_EQ(Add(kHelper, 1, 0, "Old Name.app"), noErr);
  EXPECT_EQ(Python(), SeenList({Seen(kHelper), Seen("/Apps/B.app")}));
  // An empty other suffix is no suffix (it would match everything).
  ASSERT_EQ(Add("/Apps/C.app", 1, 0, ""), noErr);
  EXPECT_EQ(Python(), SeenList({Seen(kHelper), Seen("/Apps/B.app"), Seen("/Apps/C.app")}));
}

// --- the 16-entry limit ---

std::vector<std::string> Namesakes(int count) {
  std::vector<std::string> entries;
  for (int i = 0; i < count; ++i) entries.push_back(Entry("/n" + std::to_string(i) + "/KorvidTesselHelper.app"));
  return entries;
}

TEST_F(LoginItems, AddHandlesOnlyTheFirstSixteenMatches) {
  std::vector<std::string> entries = Namesakes(20);
  entries.insert(entries.begin() + 3, Entry("/Apps/Other.app"));
  Write(Document(entries));
  ASSERT_EQ(Add(kHelper, 1), noErr);
  // The first namesake is replaced, the next fifteen go, the last four stay.
  std::vector<std::string> seen = {Seen(kHelper), Seen("/Apps/Other.app")};
  for (int i = 16; i < 20; ++i) seen.push_back(Seen("/n" + std::to_string(i) + "/KorvidTesselHelper.app"));
  EXPECT_EQ(Python(), SeenList(seen));
}

TEST_F(LoginItems, RemoveHandlesOnlyTheFirstSixteenMatches) {
  Write(Document(Namesakes(20)));
  ASSERT_EQ(Remove("KorvidTesselHelper.app"), noErr);
  EXPECT_EQ(count_, 16);
  std::vector<std::string> seen;
  for (int i = 16; i < 20; ++i) seen.push_back(Seen("/n" + std::to_string(i) + "/KorvidTesselHelper.app"));
  EXPECT_EQ(Python(), SeenList(seen));
  ASSERT_EQ(Remove("KorvidTesselHelper.app"), noErr);
  EXPECT_EQ(count_, 4);
  EXPECT_EQ(Python(), SeenList({}));
}

// --- removal ---

TEST_F(LoginItems, RemoveTakesEverySuffixMatchCaseSensitively) {
  Write(Document({Entry("/a/KorvidTesselHelper.app"), Entry("/b/korvidtesselhelper.app"), Entry("/c/X.app"),
                  Entry("/d/MyKorvidTesselHelper.app")}));
  ASSERT_EQ(Remove("KorvidTesselHelper.app"), noErr);
  EXPECT_EQ(count_, 2);
  EXPECT_EQ(Python(), SeenList({Seen("/b/korvidtesselhelper.app"), Seen("/c/X.app")}));
}

TEST_F(LoginItems, RemoveThatFindsNothingWritesNothing) {
  Write(Document({Entry("/c/X.app")}));
  const ino_t inode = Inode(File());
  ASSERT_EQ(Remove("KorvidTesselHelper.app"), noErr);
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(Inode(File()), inode);
}

TEST_F(LoginItems, RemoveForAnotherUserWorksInThatUsersHome) {
  const fs::path home = temp_.path() / "home/ann";
  WriteFile(home / ".config/korvid/loginWindow.plist", Document({Entry(kHelper), Entry("/c/X.app")}));
  std::uint16_t count = 99;
  ASSERT_EQ(RemoveLoginItemForUser(home.c_str(), "KorvidTesselHelper.app", &count), noErr);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(ReadWithPlistlib(home / ".config/korvid/loginWindow.plist"), SeenList({Seen("/c/X.app")}));

  const fs::path bob = temp_.path() / "home/bob";
  fs::create_directories(bob);
  count = 99;
  EXPECT_EQ(RemoveLoginItemForUser(bob.c_str(), "KorvidTesselHelper.app", &count), fnfErr);
  EXPECT_EQ(RemoveLoginItemForUser((temp_.path() / "home/nobody").c_str(), "K.app", &count), fnfErr);
  EXPECT_EQ(count, 99);
  EXPECT_FALSE(fs::exists(bob / ".config"));
}

// --- arguments ---

TEST_F(LoginItems, MissingArgumentsAreParamErrAndTouchNoOutput) {
  found_ = 7;
  EXPECT_EQ(AddLoginItem(folders_, nullptr, nullptr, 0, 1, &found_), paramErr);
  EXPECT_EQ(AddLoginItem(folders_, "", nullptr, 0, 1, &found_), paramErr);
  EXPECT_EQ(found_, 7);
  std::uint16_t count = 99;
  EXPECT_EQ(RemoveLoginItem(folders_, nullptr, &count), paramErr);
  EXPECT_EQ(RemoveLoginItem(folders_, "", &count), paramErr);
  EXPECT_EQ(RemoveLoginItemInFolder(nullptr, "x", &count), paramErr);
  EXPECT_EQ(RemoveLoginItemForUser(nullptr, "x", &count), paramErr);
  EXPECT_EQ(RemoveLoginItemForUser("/", nullptr, &count), paramErr);
  EXPECT_EQ(count, 99);
  EXPECT_FALSE(fs::exists(File()));
}

TEST_F(LoginItems, PathsAPropertyListCannotHoldAreRefused) {
  found_ = 7;
  EXPECT_EQ(AddLoginItem(folders_, "/bad/\xff.app", nullptr, 0, 1, &found_), ioErr);
  EXPECT_EQ(AddLoginItem(folders_, "/ctl/\x01.app", nullptr, 0, 1, &found_), ioErr);
  EXPECT_EQ(found_, 7);
  EXPECT_FALSE(fs::exists(File()));
}

// --- what must survive ---

TEST_F(LoginItems, EverythingElseInTheDocumentSurvives) {
  const std::string rootExtra =
      "<key>Before</key><date>1999-12-31T23:59:59Z</date>"
      "<key>Blob</key><data>3q2+7w==</data>";
  Write(Document({"<string>not an entry</string>", "<dict><key>Name</key><string>no path</string></dict>",
                  "<dict><key>Path</key><integer>42</integer></dict>",
                  "<dict><key>Path</key><string>/Apps/Kept.app</string><key>Hide</key><true/>"
                  "<key>AliasData</key><data>AAE=</data><key>Weight</key><real>0.25</real></dict>"},
                 rootExtra + "<key>Count</key><integer>-3</integer>") +
        "");
  ASSERT_EQ(Add(kHelper), noErr);
  const std::string seenRoot =
      R"("Before":{"date":"1999-12-31T23:59:59"},"Blob":{"data":"3q2+7w=="},"Count":{"int":-3},)";
  EXPECT_EQ(Python(), SeenList({R"("not an entry")", R"({"Name":"no path"})", R"({"Path":{"int":42}})",
                                R"({"Path":"/Apps/Kept.app","Hide":{"bool":true},"AliasData":{"data":"AAE="},"Weight":{"real":"0.25"}})",
                                Seen(kHelper)},
                               seenRoot));
}

TEST_F(LoginItems, ABinaryListIsReadAndWrittenBackAsXml) {
  std::optional<PropertyList> document = PropertyList::Parse(Document({Entry("/c/X.app", true)}));
  ASSERT_TRUE(document);
  char* binary = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(document->get(), &binary, &length);
  Write(std::string(binary, length));
  plist_to_bin_free(binary);
  ASSERT_EQ(Add(kHelper), noErr);
  EXPECT_EQ(Python(), SeenList({Seen("/c/X.app", true), Seen(kHelper)}));
  EXPECT_EQ(ReadFile(File()).rfind("<?xml", 0), 0u);
}

TEST_F(LoginItems, DocumentsOfAnotherShapeAreNeverRewritten) {
  for (const std::string& text : {
           std::string("<plist><array><string>x</string></array></plist>"),
           std::string("<plist><string>just text</string></plist>"),
           std::string("<plist><dict><key>AutoLaunchedApplicationDictionary</key><dict/></dict></plist>"),
           std::string("<plist><dict><key>AutoLaunchedApplicationDictionary</key><string>x</string></dict></plist>"),
       }) {
    SCOPED_TRACE(text);
    Write(text);
    EXPECT_EQ(Add(kHelper), resNotFound);
    EXPECT_EQ(found_, 0);
    EXPECT_EQ(Remove("KorvidTesselHelper.app"), resNotFound);
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(ReadFile(File()), text);
  }
}

TEST_F(LoginItems, ALinkedFileIsEditedWhereItPoints) {
  WriteFile(temp_.path() / "dotfiles/loginWindow.plist", Document({Entry("/c/X.app")}));
  fs::create_symlink(temp_.path() / "dotfiles/loginWindow.plist", File());
  ASSERT_EQ(Add(kHelper), noErr);
  EXPECT_TRUE(fs::is_symlink(File()));
  EXPECT_EQ(ReadWithPlistlib(temp_.path() / "dotfiles/loginWindow.plist"),
            SeenList({Seen("/c/X.app"), Seen(kHelper)}));
}

// --- crashes and other writers ---

TEST_F(LoginItems, ACrashBeforeTheRenameLeavesTheOldList) {
  const std::string text = Document({Entry("/c/X.app")});
  Write(text);
  EXPECT_EXIT(
      {
        LockedFile::SetBeforeRenameHookForTesting([] { _exit(7); });
        AddLoginItem(folders_, kHelper, nullptr, 0, 1, nullptr);
        _exit(0);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_EQ(ReadFile(File()), text);
}

TEST_F(LoginItems, TwoProcessesAddingAtOnceLoseNothing) {
  constexpr int kItemsEach = 40;
  pid_t children[2];
  for (int writer = 0; writer < 2; ++writer) {
    children[writer] = fork();
    ASSERT_GE(children[writer], 0);
    if (children[writer] == 0) {
      for (int i = 0; i < kItemsEach; ++i) {
        const std::string path = "/w/W" + std::to_string(writer) + "N" + std::to_string(i) + ".app";
        if (AddLoginItem(folders_, path.c_str(), nullptr, 0, 1, nullptr) != noErr) _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string seen = Python();
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < kItemsEach; ++i) {
      const std::string path = "/w/W" + std::to_string(writer) + "N" + std::to_string(i) + ".app";
      EXPECT_NE(seen.find("\"" + path + "\""), std::string::npos) << path;
    }
  }
}

TEST_F(LoginItems, OnlyAnInstalledApplicationIsRegistered) {
  const fs::path panes = temp_.path() / "usr/local/lib/korvid/PreferencePanes";
  const fs::path installed = panes / "Korvid Tessel.prefPane/Resources/KorvidTesselHelper.app";
  fs::create_directories(installed);
  const fs::path build = temp_.path() / "src/build/lib/korvid/PreferencePanes/Korvid Tessel.prefPane/Resources/KorvidTesselHelper.app";
  fs::create_directories(build);
  fs::create_symlink(build.parent_path(), temp_.path() / "usr/local/lib/korvid/PreferencePanes/link");
  // A build tree, a way out through "..", a link out of the folder, the folder itself:
  // refused, and the user's list is not even created.
  for (const fs::path& elsewhere : {build, panes / "../../../../../src/build/lib/korvid/PreferencePanes/x.app",
                                    panes / "link/KorvidTesselHelper.app", panes}) {
    EXPECT_EQ(AddInstalledLoginItem(folders_, elsewhere.c_str()), paramErr) << elsewhere;
    EXPECT_FALSE(fs::exists(File())) << elsewhere;
  }
  EXPECT_EQ(AddInstalledLoginItem(folders_, nullptr), paramErr);
  EXPECT_EQ(AddInstalledLoginItem(folders_, installed.c_str()), noErr);
  EXPECT_EQ(ReadWithPlistlib(File()), SeenList({Seen(installed.string())}));
  const fs::path userPane = temp_.path() / "home/user/.local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane/Resources/KorvidTesselHelper.app";
  fs::create_directories(userPane);
  EXPECT_TRUE(IsInstalledLocation(folders_, userPane));
}

}  // namespace
}  // namespace korvid
