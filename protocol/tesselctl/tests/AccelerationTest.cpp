// SPDX-License-Identifier: MIT
// `tesselctl set acceleration` against a settings folder of its own and in-process event
// ports: the domain changes as the window's box and slider change it, the helper gets the
// window's control message, and what happened is said.
#include "protocol/tesselctl/Acceleration.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/FourCC.h"
#include "platform/Identity.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/events/testing/FakeEventPort.h"
#include "platform/process/testing/FakeProcessTable.h"

namespace korvid::tesselctl {
namespace {

constexpr std::uint32_t kSelf = 100;
constexpr std::uint32_t kHelper = 200;

class TesselctlAccelerationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    processes.Add(kSelf, "tesselctl");
    processes.Add(kHelper, kHelperProcessName);
    helper.InstallEventHandler(kKvdO, kKvdC, [this](const AppleEvent& event, AppleEvent& reply) -> OSErr {
      std::uint32_t command = 0;
      std::int32_t value = 0;
      AEGetParamValue(event, keyDirectObject, typeMagnitude, command);
      AEGetParamValue(event, kKvdC, typeSInt32, value);
      received.emplace_back(command, value);
      return static_cast<OSErr>(AEPutParamValue(reply, keyDirectObject, typeSInt32, std::int32_t{0}));
    });
  }

  int Set(const char* word, const PreferencesStore& where) {
    out.str("");
    err.str("");
    const ParseResult r = ParseArguments({"set", "acceleration", word});
    EXPECT_TRUE(r.ok) << r.error;
    return RunAcceleration(r.command, where, processes, self, out, err);
  }
  int Set(const char* word) { return Set(word, store); }

  std::optional<float> Stored(const char* key) const {
    PropertyList domain;
    if (store.PersistentDomain(kSettingsDomain, domain) != noErr) return std::nullopt;
    return domain.GetFloat(key);
  }

  testing::TempFolder temp;
  PreferencesStore store{temp.Path() + "/korvid"};
  FakeEventBus bus;
  FakeEventPort self{bus, kSelf};
  FakeEventPort helper{bus, kHelper};
  FakeProcessTable processes{kSelf};
  std::vector<std::pair<std::uint32_t, std::int32_t>> received;
  std::ostringstream out, err;
};

TEST_F(TesselctlAccelerationTest, OffOnAndValuesAsTheWindowKeepsThem) {
  // A domain the window wrote, with a key of someone else's.
  PropertyList domain = PropertyList::NewDictionary();
  domain.SetFloat("acceleration", 0.5f);
  domain.SetFloat("someoneElses", 7.0f);
  ASSERT_EQ(store.SetPersistentDomain(kSettingsDomain, domain), noErr);
  EXPECT_EQ(StoredAcceleration(store), 0.5f);

  struct Row {
    const char* word;
    float acceleration;
    std::optional<float> last;
    std::int32_t sent;
    const char* said;
  };
  const Row rows[] = {
      {"on", 0.5f, std::nullopt, 32768, "Acceleration set to 0.5"},  // already on: kept
      {"1.5", 1.5f, std::nullopt, 98304, "Acceleration set to 1.5"},
      {"off", 0.0f, 1.5f, 0, "Acceleration off"},  // remembered for "on"
      {"off", 0.0f, 1.5f, 0, "Acceleration off"},  // already off: the remembered value stays
      {"on", 1.5f, 1.5f, 98304, "Acceleration set to 1.5"},
      {"0.1", 0.1f, 1.5f, 6553, "Acceleration set to 0.1"},
      {"2", 2.0f, 1.5f, 131072, "Acceleration set to 2"},
  };
  for (const Row& row : rows) {
    received.clear();
    EXPECT_EQ(Set(row.word), kExitOk) << row.word << err.str();
    EXPECT_EQ(Stored("acceleration"), row.acceleration) << row.word;
    EXPECT_EQ(Stored("lastAcceleration"), row.last) << row.word;
    ASSERT_EQ(received.size(), 1u) << row.word;
    EXPECT_EQ(received[0], std::make_pair(kKvSA, row.sent)) << row.word;
    EXPECT_EQ(out.str(), std::string(row.said) + ": stored, and the acceleration helper applied it\n");
    EXPECT_EQ(err.str(), "");
  }
  EXPECT_EQ(Stored("someoneElses"), 7.0f);
  EXPECT_EQ(StoredAcceleration(store), 2.0f);
}

TEST_F(TesselctlAccelerationTest, StoredWhateverTheHelperDoesAndSaidSo) {
  // A fresh user: "on" comes to 1.0, with the window's defaults written.
  EXPECT_EQ(StoredAcceleration(store), 0.0f);
  EXPECT_EQ(Set("on"), kExitOk);
  EXPECT_EQ(Stored("acceleration"), 1.0f);
  EXPECT_EQ(Stored("lastAcceleration"), 1.0f);

  // No helper runs: stored, said, and no failure (the helper reads it when it starts).
  processes.Remove(kHelper);
  received.clear();
  EXPECT_EQ(Set("1.2"), kExitOk);
  EXPECT_EQ(Stored("acceleration"), 1.2f);
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(out.str(), "Acceleration set to 1.2: stored\n");
  EXPECT_NE(err.str().find("no acceleration helper (KorvidTesselHelper) runs"), std::string::npos) << err.str();

  // A helper that does not answer, or runs without a port on this bus: a failure, stored.
  processes.Add(kHelper, kHelperProcessName);
  helper.SetHung(true);
  EXPECT_EQ(Set("0.7"), kExitDeviceFailure);
  EXPECT_EQ(Stored("acceleration"), 0.7f);
  EXPECT_EQ(err.str(),
            "tesselctl: the acceleration helper did not take it: the acceleration helper did not answer within 250 ms "
            "(errAETimeout, -1712); it applies the stored setting when it next starts\n");
  processes.Remove(kHelper);
  processes.Add(kHelper + 1, kHelperProcessName);
  bus.AddProcessWithoutPort(kHelper + 1);
  EXPECT_EQ(Set("off"), kExitDeviceFailure);
  EXPECT_EQ(Stored("acceleration"), 0.0f);
  EXPECT_NE(err.str().find("(connectionInvalid, -609)"), std::string::npos) << err.str();

  // A domain that cannot be stored: nothing is sent, and the file is named.
  std::ofstream(temp.Path() + "/file") << "not a folder";
  const PreferencesStore unwritable(temp.Path() + "/file/korvid");
  processes.Add(kHelper, kHelperProcessName);
  helper.SetHung(false);
  received.clear();
  EXPECT_EQ(Set("1.1", unwritable), kExitDeviceFailure);
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str().rfind("tesselctl: the acceleration was not changed: it cannot be stored in " + temp.Path() +
                                "/file/korvid/com.korvid.tessel.settings.plist: ",
                            0),
            0u)
      << err.str();
}

}  // namespace
}  // namespace korvid::tesselctl
