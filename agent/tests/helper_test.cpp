// SPDX-License-Identifier: MIT
// The helper with fakes: event port, process table, drivers, front application and a
// virtual-time scheduler.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>

#include "agent/KorvidTesselHelper.h"
#include "driver/client/testing/FakeDriverWatcher.h"
#include "pane/messages/ControlMessages.h"
#include "platform/FourCC.h"
#include "platform/Identity.h"
#include "platform/events/testing/FakeEventPort.h"
#include "platform/frontapp/testing/FakeFrontAppSource.h"
#include "platform/process/testing/FakeProcessTable.h"

namespace korvid {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t kSelf = 100;
constexpr std::uint32_t kPane = 300;
const std::string kMouseA = "KorvidTessel-a.sock";
const std::string kMouseB = "KorvidTessel-b.sock";

class HelperTest : public ::testing::Test {
 protected:
  HelperTest() {
    processes_.Add(7, "launchd");
    processes_.Add(kSelf, "KorvidTesselHelper");
    processes_.Add(kPane, "korvid-tessel-settings");
  }
  ~HelperTest() override { fs::remove_all(folder_); }

  KorvidTesselHelper& Helper() {
    if (!helper_) {
      helper_ = std::make_unique<KorvidTesselHelper>(HelperEnvironment{
          processes_, helperPort_, drivers_, frontApp_, scheduler_, preferences_, [this] { ++terminations_; }});
    }
    return *helper_;
  }
  KorvidTesselHelper& Started() {
    Helper().AwakeFromNib();
    return *helper_;
  }

  void StoreAcceleration(plist_t value) {
    PropertyList domain = PropertyList::NewDictionary();
    plist_dict_set_item(domain.get(), "acceleration", value);
    ASSERT_EQ(preferences_.SetPersistentDomain(kSettingsDomain, domain), noErr);
  }

  // The pane's control message, waiting for the reply.
  OSStatus Send(std::uint32_t command, std::int32_t value, std::int32_t* result) {
    return SendControlToKext(processes_, panePort_, MakeStr255("KorvidTesselHelper"), command, value, result);
  }

  // Sends an event built by the test and returns the handler's status.
  OSStatus SendRaw(AppleEvent& event, AppleEvent& reply) {
    const OSStatus sent = panePort_.SendMessage(event, reply, kAEWaitReply, 60);
    if (sent != noErr) return sent;
    std::int32_t error = 0;
    return AEGetParamValue(reply, keyErrorNumber, typeSInt32, error) == noErr ? error : noErr;
  }

  AppleEvent ControlEvent() {
    AppleEvent event;
    EXPECT_EQ(AECreateAppleEvent(kKvdO, kKvdC, AddressOf({0, kSelf}), kAutoGenerateReturnID, kAnyTransactionID, event),
              noErr);
    return event;
  }

  static std::string MakeFolder() {
    char pattern[] = "/tmp/korvid-helper-test.XXXXXX";
    return mkdtemp(pattern);
  }

  std::string folder_ = MakeFolder();
  FakeProcessTable processes_{kSelf};
  FakeEventBus bus_;
  FakeEventPort helperPort_{bus_, kSelf};
  FakeEventPort panePort_{bus_, kPane};
  FakeDriverWatcher drivers_;
  FakeFrontAppSource frontApp_;
  VirtualScheduler scheduler_;
  PreferencesStore preferences_{folder_};
  int terminations_ = 0;
  std::unique_ptr<KorvidTesselHelper> helper_;
};

std::vector<std::uint32_t> Connections(const KorvidTesselHelper& helper) {
  std::vector<std::uint32_t> list;
  for (auto* record = helper.CapturedDeviceList(); record != nullptr; record = record->next.get()) {
    list.push_back(record->connection);
  }
  return list;
}

// --- Plain functions ---------------------------------------------------------------

TEST_F(HelperTest, CallKextScalarMethodRefusesBadCountsWithoutCalling) {
  drivers_.AddDriver(kMouseA);
  drivers_.Start(nullptr, nullptr);
  io_connect_t connection = 0;
  ASSERT_EQ(drivers_.Open(kMouseA, kKvdU, connection), kIOReturnSuccess);
  std::uint32_t out = 5;
  EXPECT_EQ(CallKextScalarMethod(drivers_, connection, 0, 5, 1, 0, 0, 0, 0, &out), kIOReturnBadArgument);
  EXPECT_EQ(CallKextScalarMethod(drivers_, connection, 0, 3, 2, 0, 0, 0, 0, &out), kIOReturnBadArgument);
  EXPECT_EQ(CallKextScalarMethod(drivers_, connection, 0, 3, 1, 0, 0, 0, 0, nullptr), kIOReturnBadArgument);
  EXPECT_TRUE(drivers_.Calls().empty());
  EXPECT_EQ(out, 5u);
}

TEST_F(HelperTest, CallKextScalarMethodZeroExtendsInputsAndKeepsTheLowOutputBits) {
  drivers_.AddDriver(kMouseA);
  drivers_.Start(nullptr, nullptr);
  io_connect_t connection = 0;
  ASSERT_EQ(drivers_.Open(kMouseA, kKvdU, connection), kIOReturnSuccess);
  drivers_.SetBehaviour(kMouseA, [](std::span<const std::uint64_t>, std::span<std::uint64_t> out) {
    out[0] = 0x1234567887654321ull;
    return kIOReturnSuccess;
  });
  std::uint32_t out = 0;
  EXPECT_EQ(CallKextScalarMethod(drivers_, connection, 0, 3, 1, 0xFFFFFFFFu, 2, 0x80000000u, 9, &out),
            kIOReturnSuccess);
  ASSERT_EQ(drivers_.Calls().size(), 1u);
  EXPECT_EQ(drivers_.Calls()[0].inputs, (std::vector<std::uint64_t>{0xFFFFFFFFull, 2, 0x80000000ull}));
  EXPECT_EQ(out, 0x87654321u);
}

TEST_F(HelperTest, SendControlToDevicesWalksInOrderAndStopsAtTheFirstFailure) {
  for (const char* name : {"KorvidTessel-1.sock", "KorvidTessel-2.sock", "KorvidTessel-3.sock"}) {
    drivers_.AddDriver(name);
  }
  drivers_.SetBehaviour("KorvidTessel-2.sock", [](std::span<const std::uint64_t>, std::span<std::uint64_t> out) {
    out[0] = 42;
    return kIOReturnNoDevice;
  });
  Started();
  drivers_.ClearCalls();
  std::int32_t output = 0;
  EXPECT_EQ(SendControlToDevices(drivers_, Helper().CapturedDeviceList(), kKvSA, 7, &output), kIOReturnNoDevice);
  ASSERT_EQ(drivers_.Calls().size(), 2u);
  EXPECT_EQ(drivers_.Calls()[0].service, "KorvidTessel-1.sock");
  EXPECT_EQ(drivers_.Calls()[1].service, "KorvidTessel-2.sock");
  EXPECT_EQ(drivers_.Calls()[0].inputs,
            (std::vector<std::uint64_t>{drivers_.Calls()[0].connection, kKvSA, 7}));
  EXPECT_EQ(output, 42);
  EXPECT_EQ(SendControlToDevices(drivers_, nullptr, kKvSA, 7, nullptr), kIOReturnSuccess);
}

TEST_F(HelperTest, FindOtherNamedProcessSkipsTheCallingProcess) {
  const Str255 name = MakeStr255("korvidtesselhelper");
  ProcessSerialNumber psn{};
  EXPECT_EQ(FindOtherNamedProcess(processes_, name, &psn), procNotFound);
  processes_.Add(250, "KorvidTesselHelper");
  EXPECT_EQ(FindOtherNamedProcess(processes_, name, &psn), noErr);
  EXPECT_EQ(psn, (ProcessSerialNumber{0, 250}));
  EXPECT_EQ(FindOtherNamedProcess(processes_, MakeStr255("KorvidTesselHelpe"), nullptr), procNotFound);
}

TEST_F(HelperTest, AccelerationToFixedTruncatesAndSaturates) {
  EXPECT_EQ(AccelerationToFixed(1.0f), 65536);
  EXPECT_EQ(AccelerationToFixed(0.1f), 6553);
  EXPECT_EQ(AccelerationToFixed(40000.0f), 0x7FFFFFFF);
  EXPECT_EQ(AccelerationToFixed(NAN), 0);
}

// --- Start-up -----------------------------------------------------------------------

TEST_F(HelperTest, ASecondHelperQuitsAtOnceAndStartsNothing) {
  processes_.Add(50, "KorvidTesselHelper");
  drivers_.AddDriver(kMouseA);
  Started();
  EXPECT_EQ(terminations_, 1);
  EXPECT_TRUE(Helper().Terminating());
  EXPECT_EQ(drivers_.StartCount(), 0u);
  EXPECT_EQ(drivers_.OpenConnections(), 0u);
  EXPECT_FALSE(frontApp_.Installed());
  EXPECT_EQ(gKorvidTesselHelper, nullptr);
}

TEST_F(HelperTest, StartsWhenOnlyItselfRuns) {
  Started();
  EXPECT_EQ(terminations_, 0);
  EXPECT_EQ(gKorvidTesselHelper, &Helper());
  EXPECT_TRUE(Helper().HandlingDevices());
  EXPECT_TRUE(frontApp_.Installed());
  EXPECT_EQ(Helper().Acceleration(), 0);
}

struct StoredCase {
  const char* label;
  std::function<plist_t()> value;
  std::int32_t expected;
};

TEST_F(HelperTest, StoredAccelerationIsReadOnceWithTheRangeTest) {
  const std::vector<StoredCase> cases = {
      {"1.0", [] { return plist_new_real(1.0); }, 65536},
      {"2.0", [] { return plist_new_real(2.0); }, 131072},
      {"0.5", [] { return plist_new_real(0.5); }, 32768},
      {"2.5", [] { return plist_new_real(2.5); }, 0},
      {"-0.1", [] { return plist_new_real(-0.1); }, 0},
      {"integer 1", [] { return plist_new_uint(1); }, 65536},
      {"string", [] { return plist_new_string("1.5"); }, 98304},
      {"array", [] { return plist_new_array(); }, 0},
      {"date-like dict", [] { return plist_new_dict(); }, 0},
  };
  for (const StoredCase& c : cases) {
    helper_.reset();
    StoreAcceleration(c.value());
    EXPECT_EQ(Started().Acceleration(), c.expected) << c.label;
  }
}

TEST_F(HelperTest, MissingOrDamagedDomainGivesZero) {
  EXPECT_EQ(Started().Acceleration(), 0);
  helper_.reset();
  PropertyList domain = PropertyList::NewDictionary();
  domain.SetFloat("lastAcceleration", 1.5f);
  ASSERT_EQ(preferences_.SetPersistentDomain(kSettingsDomain, domain), noErr);
  EXPECT_EQ(Started().Acceleration(), 0);
  // Cut short, nested past any stack (however its arrays open), or with the key twice.
  std::string deep = "<plist><dict><key>acceleration</key><real>1</real><key>k</key>";
  for (int i = 0; i < 50000; ++i) deep += "<array a=\"/>\">";
  for (int i = 0; i < 50000; ++i) deep += "</array>";
  for (const std::string& text :
       {std::string("<plist><dict><key>acceleration</key><real>1"), deep + "</dict></plist>",
        std::string("<plist><dict><key>acceleration</key><real>1</real><key>acceleration</key><real>2</real>"
                    "</dict></plist>")}) {
    helper_.reset();
    std::FILE* file = std::fopen(preferences_.DomainFile(kSettingsDomain).c_str(), "w");
    std::fputs(text.c_str(), file);
    std::fclose(file);
    EXPECT_EQ(Started().Acceleration(), 0) << text.substr(0, 60);
  }
}

TEST_F(HelperTest, ANaNStoredAccelerationGivesZero) {
  StoreAcceleration(plist_new_real(NAN));
  EXPECT_EQ(Started().Acceleration(), 0);
}

// --- Control message ----------------------------------------------------------------

TEST_F(HelperTest, SetAccelerationWithoutDriversIsStoredAndAnswersZero) {
  Started();
  std::int32_t result = 99;
  EXPECT_EQ(Send(kKvSA, 131072, &result), noErr);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Helper().Acceleration(), 131072);
}

TEST_F(HelperTest, SetAccelerationReachesEveryDriverInOrder) {
  drivers_.AddDriver(kMouseA);
  drivers_.AddDriver(kMouseB);
  Started();
  std::int32_t result = 99;
  EXPECT_EQ(Send(kKvSA, 65536, &result), noErr);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(drivers_.Accelerations(kMouseA), std::vector<std::int32_t>{65536});
  EXPECT_EQ(drivers_.Accelerations(kMouseB), std::vector<std::int32_t>{65536});
  ASSERT_EQ(drivers_.Calls().size(), 2u);
  EXPECT_EQ(drivers_.Calls()[0].service, kMouseA);
}

TEST_F(HelperTest, OtherCommandsAreForwardedUnchangedAndLeaveTheAcceleration) {
  drivers_.AddDriver(kMouseA, 0x11112222u);
  drivers_.AddDriver(kMouseB, 0x33334444u);
  StoreAcceleration(plist_new_real(1.0));
  Started();
  std::int32_t result = 0;
  EXPECT_EQ(Send(kKvID, 5, &result), noErr);
  EXPECT_EQ(result, 0x33334444);  // the last driver's answer
  EXPECT_EQ(Helper().Acceleration(), 65536);
  ASSERT_EQ(drivers_.Calls().size(), 2u);
  EXPECT_EQ(drivers_.Calls()[1].inputs[1], kKvID);
  EXPECT_EQ(drivers_.Calls()[1].inputs[2], 5u);
}

TEST_F(HelperTest, AnUnknownCommandFailsAtTheFirstDriverWith706AndNoResult) {
  drivers_.AddDriver(kMouseA);
  drivers_.AddDriver(kMouseB);
  Started();
  std::int32_t result = 12345;
  EXPECT_EQ(Send(FourCC("KvQQ"), 1, &result), errAEDescNotFound);  // the reply has no ----
  EXPECT_EQ(result, 12345);
  EXPECT_EQ(drivers_.Calls().size(), 1u);
  AppleEvent event = ControlEvent();
  AEPutParamValue(event, keyDirectObject, typeMagnitude, FourCC("KvQQ"));
  AEPutParamValue(event, kKvdC, typeSInt32, std::int32_t{1});
  AppleEvent reply;
  EXPECT_EQ(SendRaw(event, reply), 706);
  EXPECT_EQ(reply.Find(keyDirectObject), nullptr);
  EXPECT_EQ(Helper().Acceleration(), 0);
}

TEST_F(HelperTest, MissingOrMistypedParametersChangeNothing) {
  drivers_.AddDriver(kMouseA);
  Started();
  drivers_.ClearCalls();
  {
    AppleEvent event = ControlEvent();
    AEPutParamValue(event, keyDirectObject, typeMagnitude, kKvSA);
    AppleEvent reply;
    EXPECT_EQ(SendRaw(event, reply), errAEDescNotFound);
  }
  {
    AppleEvent event = ControlEvent();
    AEPutParamValue(event, kKvdC, typeSInt32, std::int32_t{65536});
    AppleEvent reply;
    EXPECT_EQ(SendRaw(event, reply), errAEDescNotFound);
  }
  {
    AppleEvent event = ControlEvent();
    AEPutParamValue(event, keyDirectObject, typeMagnitude, kKvSA);
    AEPutParamValue(event, kKvdC, typeSInt32, std::int16_t{1});  // two bytes
    AppleEvent reply;
    EXPECT_NE(SendRaw(event, reply), noErr);
  }
  EXPECT_TRUE(drivers_.Calls().empty());
  EXPECT_EQ(Helper().Acceleration(), 0);
}

TEST_F(HelperTest, ADriverThatDiesMidWalkEndsItWithItsStatus) {
  drivers_.AddDriver(kMouseA);
  drivers_.AddDriver(kMouseB);
  Started();
  drivers_.OnCall([this](const FakeDriverWatcher::Call& call) {
    if (call.service == kMouseA) drivers_.RemoveDriver(kMouseA);
  });
  AppleEvent event = ControlEvent();
  AEPutParamValue(event, keyDirectObject, typeMagnitude, kKvSA);
  AEPutParamValue(event, kKvdC, typeSInt32, std::int32_t{65536});
  AppleEvent reply;
  EXPECT_EQ(SendRaw(event, reply), static_cast<std::int16_t>(kIOReturnNoDevice & 0xFFFF));
  EXPECT_TRUE(drivers_.Accelerations(kMouseB).empty());
  EXPECT_EQ(Helper().Acceleration(), 65536);  // stored all the same
  drivers_.OnCall(nullptr);
  // Its record goes with the termination message; the next push reaches the other.
  EXPECT_EQ(drivers_.DeliverMessages(), 1u);
  EXPECT_EQ(Helper().CapturedDeviceCount(), 1);
  std::int32_t result = 1;
  EXPECT_EQ(Send(kKvSA, 65536, &result), noErr);
  EXPECT_EQ(drivers_.Accelerations(kMouseB), std::vector<std::int32_t>{65536});
}

// --- Drivers ------------------------------------------------------------------------

TEST_F(HelperTest, EachConnectedDriverSchedulesAPushHalfASecondLater) {
  drivers_.AddDriver(kMouseA);
  drivers_.AddDriver(kMouseB);
  StoreAcceleration(plist_new_real(1.0));
  Started();
  EXPECT_EQ(Helper().CapturedDeviceCount(), 2);
  EXPECT_EQ(Connections(Helper()).size(), 2u);
  EXPECT_TRUE(drivers_.Calls().empty());
  scheduler_.Advance(499ms);
  EXPECT_TRUE(drivers_.Calls().empty());
  scheduler_.Advance(1ms);
  // Two pushes, each to both mice.
  EXPECT_EQ(drivers_.Accelerations(kMouseA), (std::vector<std::int32_t>{65536, 65536}));
  EXPECT_EQ(drivers_.Accelerations(kMouseB), (std::vector<std::int32_t>{65536, 65536}));
}

TEST_F(HelperTest, ALaterMouseGetsTheValueHeldWhenItsPushRuns) {
  Started();
  scheduler_.Advance(10s);
  drivers_.AddDriver(kMouseA);
  EXPECT_EQ(Helper().CapturedDeviceCount(), 1);
  scheduler_.Advance(200ms);
  std::int32_t result = 0;
  ASSERT_EQ(Send(kKvSA, 32768, &result), noErr);
  scheduler_.Advance(300ms);
  EXPECT_EQ(drivers_.Accelerations(kMouseA), (std::vector<std::int32_t>{32768, 32768}));
}

TEST_F(HelperTest, ATerminatedDriverLosesItsRecordAndConnection) {
  drivers_.AddDriver(kMouseA);
  drivers_.AddDriver(kMouseB);
  Started();
  const std::vector<std::uint32_t> before = Connections(Helper());
  drivers_.RemoveDriver(kMouseA);
  EXPECT_EQ(Helper().CapturedDeviceCount(), 2);  // not until the message arrives
  EXPECT_EQ(drivers_.DeliverMessages(), 1u);
  EXPECT_EQ(Helper().CapturedDeviceCount(), 1);
  EXPECT_EQ(Connections(Helper()), std::vector<std::uint32_t>{before[1]});
  EXPECT_EQ(drivers_.Closed(), std::vector<io_connect_t>{before[0]});
  EXPECT_EQ(drivers_.ActiveNotifications(), 1u);
  scheduler_.Advance(1s);
  EXPECT_TRUE(drivers_.Accelerations(kMouseA).empty());
  EXPECT_EQ(drivers_.Accelerations(kMouseB).size(), 2u);
}

TEST_F(HelperTest, ADriverThatCannotBeOpenedIsSkipped) {
  drivers_.AddDriver(kMouseA);
  drivers_.FailOpen(kMouseA, kIOReturnNotPrivileged);
  Started();
  EXPECT_EQ(Helper().CapturedDeviceCount(), 0);
  EXPECT_EQ(scheduler_.Pending(), 0u);
}

TEST_F(HelperTest, ADriverThatAnswersTheOpenLateIsAskedAgainAndGetsItsPush) {
  drivers_.AddDriver(kMouseA);
  drivers_.AddDriver(kMouseB);
  drivers_.FailOpen(kMouseA, kIOReturnTimeout);
  drivers_.FailOpen(kMouseB, kIOReturnTimeout);
  Started();
  EXPECT_EQ(Helper().CapturedDeviceCount(), 0);
  drivers_.FailOpen(kMouseA, kIOReturnSuccess);  // A is ready at the next try; B never answers
  scheduler_.Advance(kDriverRetryDelay);
  EXPECT_EQ(Helper().CapturedDeviceCount(), 1);
  scheduler_.Advance(kDevicePushDelay + kDriverRetryDelay * kDriverAttempts);
  EXPECT_EQ(drivers_.Accelerations(kMouseA).size(), 1u);
  EXPECT_EQ(Helper().CapturedDeviceCount(), 1);
  EXPECT_EQ(scheduler_.Pending(), 0u);  // B was given up after its last try
}

TEST_F(HelperTest, APushThatADriverAnswersLateIsSentAgainWithTheValueHeldThen) {
  drivers_.AddDriver(kMouseA);
  int late = 2;
  std::vector<std::int32_t> pushed;
  drivers_.SetBehaviour(kMouseA, [&](std::span<const std::uint64_t> inputs, std::span<std::uint64_t>) {
    if (late > 0) {
      --late;
      return kIOReturnTimeout;
    }
    pushed.push_back(static_cast<std::int32_t>(inputs[2]));
    return kIOReturnSuccess;
  });
  Started();
  scheduler_.Advance(kDevicePushDelay);  // first push: late
  EXPECT_TRUE(pushed.empty());
  std::int32_t result = 0;
  EXPECT_NE(Send(kKvSA, 0x8000, &result), noErr);  // the pane's value: late too, but held
  scheduler_.Advance(kDriverRetryDelay);
  EXPECT_EQ(pushed, std::vector<std::int32_t>{0x8000});
  scheduler_.Advance(kDriverRetryDelay * kDriverAttempts);
  EXPECT_EQ(pushed.size(), 1u);  // nothing more once it answered
}

TEST_F(HelperTest, RetriesStopAfterTheLastAttemptAndWhenDeviceHandlingStops) {
  drivers_.AddDriver(kMouseA);
  int pushes = 0;
  drivers_.SetBehaviour(kMouseA, [&](std::span<const std::uint64_t>, std::span<std::uint64_t>) {
    ++pushes;
    return kIOReturnTimeout;  // never answers in time
  });
  Started();
  scheduler_.Advance(kDevicePushDelay + kDriverRetryDelay * (kDriverAttempts + 2));
  EXPECT_EQ(pushes, kDriverAttempts);
  EXPECT_EQ(scheduler_.Pending(), 0u);

  // An open that was late when the helper stopped handling devices is not asked again.
  helper_.reset();
  drivers_.AddDriver(kMouseB);
  drivers_.FailOpen(kMouseB, kIOReturnTimeout);
  Started();
  const std::size_t open = drivers_.OpenConnections();
  const std::size_t closed = drivers_.Closed().size();
  drivers_.FailOpen(kMouseB, kIOReturnSuccess);
  Helper().StopHandlingDevices();
  scheduler_.Advance(kDriverRetryDelay * kDriverAttempts);
  EXPECT_EQ(drivers_.OpenConnections(), open);
  EXPECT_EQ(drivers_.Closed().size(), closed);  // not even opened and closed again
}

class NoMemoryHelper final : public KorvidTesselHelper {
 public:
  using KorvidTesselHelper::KorvidTesselHelper;

 protected:
  std::unique_ptr<CapturedKorvidTesselRec> NewRecord() override { return nullptr; }
};

TEST_F(HelperTest, WithoutMemoryForARecordTheConnectionIsClosedAndTheDriverSkipped) {
  drivers_.AddDriver(kMouseA);
  helper_ = std::make_unique<NoMemoryHelper>(
      HelperEnvironment{processes_, helperPort_, drivers_, frontApp_, scheduler_, preferences_, [] {}});
  Started();
  EXPECT_EQ(Helper().CapturedDeviceCount(), 0);
  EXPECT_EQ(drivers_.OpenConnections(), 0u);
  EXPECT_EQ(drivers_.Closed().size(), 1u);
  EXPECT_EQ(scheduler_.Pending(), 0u);
}

TEST_F(HelperTest, ADriverWhoseEndCannotBeHeardIsNotKept) {
  drivers_.AddDriver(kMouseA);
  drivers_.FailInterest(kIOReturnNoResources);
  Started();
  EXPECT_EQ(Helper().CapturedDeviceCount(), 0);
  EXPECT_EQ(drivers_.OpenConnections(), 0u);
}

TEST_F(HelperTest, RecordListKeepsOrderAndCount) {
  KorvidTesselHelper& helper = Helper();
  CapturedKorvidTesselRec* first = helper.AddCapturedDevice(11);
  helper.AddCapturedDevice(12);
  helper.AddCapturedDevice(13);
  EXPECT_EQ(helper.AddCapturedDevice(11), first);
  EXPECT_EQ(helper.CapturedDeviceCount(), 3);
  helper.RemoveCapturedDevice(12);
  helper.RemoveCapturedDevice(99);
  EXPECT_EQ(Connections(helper), (std::vector<std::uint32_t>{11, 13}));
  EXPECT_EQ(helper.FindCapturedDevice(12), nullptr);
  helper.RemoveCapturedDevice(11);
  helper.RemoveCapturedDevice(13);
  helper.RemoveCapturedDevice(13);
  EXPECT_EQ(helper.CapturedDeviceCount(), 0);
  EXPECT_EQ(helper.CapturedDeviceList(), nullptr);
}

TEST_F(HelperTest, TerminationStopsDeviceHandlingOnce) {
  drivers_.AddDriver(kMouseA);
  Started();
  Helper().ApplicationWillTerminate();
  EXPECT_FALSE(Helper().HandlingDevices());
  EXPECT_FALSE(drivers_.Watching());
  EXPECT_EQ(drivers_.OpenConnections(), 1u);  // left to the end of the process
  Helper().StopHandlingDevices();
  Helper().StartHandlingDevices();
  Helper().StartHandlingDevices();
  EXPECT_EQ(drivers_.StartCount(), 2u);
}

// --- Front switch -------------------------------------------------------------------

TEST_F(HelperTest, FrontSwitchPushesOnlyWhenTheIdentifierChanges) {
  drivers_.AddDriver(kMouseA);
  StoreAcceleration(plist_new_real(2.0));
  Started();
  scheduler_.Advance(1s);
  drivers_.ClearCalls();
  frontApp_.SwitchTo("org.example.Editor");
  EXPECT_EQ(drivers_.Calls().size(), 1u);
  EXPECT_EQ(Helper().FrontAppBundleID(), "org.example.Editor");
  frontApp_.SwitchTo("org.example.Editor");
  EXPECT_EQ(drivers_.Calls().size(), 1u);
  frontApp_.SwitchTo("org.example.Game");
  EXPECT_EQ(drivers_.Calls().size(), 2u);
  frontApp_.SwitchTo(std::nullopt);
  frontApp_.SwitchTo(std::nullopt);
  EXPECT_EQ(drivers_.Calls().size(), 4u);
  EXPECT_EQ(Helper().FrontAppBundleID(), "");
  EXPECT_EQ(drivers_.Calls().back().inputs[2], 131072u);
}

TEST_F(HelperTest, WithoutAFrontAppSourceTheHelperRunsOn) {
  frontApp_.FailInstall(connectionInvalid);
  drivers_.AddDriver(kMouseA);
  Started();
  EXPECT_EQ(Helper().CapturedDeviceCount(), 1);
  std::int32_t result = 1;
  EXPECT_EQ(Send(kKvSA, 65536, &result), noErr);
}

}  // namespace
}  // namespace korvid
