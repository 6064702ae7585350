// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>

#include "driver/KorvidTessel.h"
#include "driver/TesselPointing.h"
#include "driver/testing/RecordingPointing.h"
#include "platform/Identity.h"

namespace korvid {
namespace {

// A pointing service that refuses every value.
class RefusingPointing final : public IOHIPointing {
 public:
  IOReturn SetAcceleration(std::int32_t) override { return kIOReturnIOError; }
};

// A driver started on a Tessel at address 5, release 0x0123, interface 2.
struct StartedDriver {
  IOUSBDevice device{{kTesselVendorID, kTesselProductID, 0x0123, 5}};
  IOUSBInterface interface{&device, 2};
  KorvidTessel driver;
  StartedDriver() {
    interface.attach(&device);
    driver.attach(&interface);
    started = driver.start(&interface);
  }
  bool started = false;

  IOReturn Call(std::uint32_t selector, std::span<const std::uint64_t> in, std::span<std::uint64_t> out) {
    std::unique_ptr<IOUserClient> client;
    EXPECT_EQ(driver.newUserClient({}, nullptr, kKvdU, client), kIOReturnSuccess);
    return CallScalarMethod(*client, selector, in, out);
  }
};

std::int32_t StoredAcceleration(const OSDictionary& dictionary) {
  auto it = dictionary.find("HIDMouseAcceleration");
  EXPECT_NE(it, dictionary.end());
  if (it == dictionary.end() || it->second.size() != 4) return -1;
  std::int32_t value;
  std::memcpy(&value, it->second.data(), 4);
  return value;
}

TEST(KorvidTesselStart, RecordsTheIdentityOfTheMouse) {
  StartedDriver d;
  ASSERT_TRUE(d.started);
  EXPECT_EQ(d.driver.VendorID(), kTesselVendorID);
  EXPECT_EQ(d.driver.ProductID(), kTesselProductID);
  EXPECT_EQ(d.driver.InterfaceNumber(), 2);
  const CapturedDeviceInfo& info = d.driver.DeviceInfo();
  EXPECT_EQ(info.vendorID, kTesselVendorID);
  EXPECT_EQ(info.productID, kTesselProductID);
  EXPECT_EQ(info.releaseNum, 0x0123);
  EXPECT_EQ(info.locationID, 5u);
  EXPECT_EQ(info.busPower, 0u);
  EXPECT_EQ(info.reserved1 | info.deviceIndex | info.reserved2, 0);
  EXPECT_EQ(info.reserved3, 0u);
}

TEST(KorvidTesselStart, RefusesAProviderThatIsNotAUsbInterfaceOrHasNoDevice) {
  IOService notAnInterface("IOUSBInterface");
  KorvidTessel driver;
  EXPECT_FALSE(driver.start(&notAnInterface));
  IOUSBInterface orphan(nullptr, 0);
  EXPECT_FALSE(driver.start(&orphan));
  EXPECT_FALSE(driver.start(nullptr));
}

TEST(Control, KvIDAnswersVendorTimes65536PlusProductAndIgnoresTheValue) {
  StartedDriver d;
  std::uint64_t out[1] = {99};
  const std::uint64_t in[3] = {1234, kKvID, 0xDEAD};
  EXPECT_EQ(d.Call(0, in, out), kIOReturnSuccess);
  EXPECT_EQ(out[0], static_cast<std::uint64_t>(kTesselVendorID) * 65536 + kTesselProductID);
}

TEST(Control, KvSAHandsFourBytesHolding65536ToThePointingService) {
  StartedDriver d;
  RecordingPointing pointing;
  pointing.attach(&d.driver);
  std::uint64_t out[1] = {99};
  const std::uint64_t in[3] = {7, kKvSA, 0x10000};
  EXPECT_EQ(d.Call(0, in, out), kIOReturnSuccess);
  EXPECT_EQ(out[0], 0u);
  ASSERT_EQ(pointing.Received().size(), 1u);
  EXPECT_EQ(pointing.Received()[0].size(), 1u);
  EXPECT_EQ(pointing.Received()[0].at("HIDMouseAcceleration").size(), 4u);
  EXPECT_EQ(StoredAcceleration(pointing.Received()[0]), 65536);
}

TEST(Control, KvSAKeepsANegativeValueThroughTheZeroExtendedScalar) {
  StartedDriver d;
  RecordingPointing pointing;
  pointing.attach(&d.driver);
  std::uint64_t out[1];
  const std::uint64_t in[3] = {0, kKvSA, 0xFFFFFFFFu};
  EXPECT_EQ(d.Call(0, in, out), kIOReturnSuccess);
  ASSERT_EQ(pointing.Received().size(), 1u);
  EXPECT_EQ(StoredAcceleration(pointing.Received()[0]), -1);
}

TEST(Control, KvSASucceedsWhateverThePointingServiceAnswers) {
  StartedDriver d;
  RefusingPointing pointing;
  pointing.attach(&d.driver);
  std::uint64_t out[1] = {5};
  const std::uint64_t in[3] = {0, kKvSA, 0x8000};
  EXPECT_EQ(d.Call(0, in, out), kIOReturnSuccess);
  EXPECT_EQ(out[0], 0u);
  EXPECT_EQ(d.driver.SetKorvidTesselSpeed(0, 1), kIOReturnIOError);
}

TEST(Control, KvSAWithoutAPointingServiceSucceedsAndChangesNothing) {
  StartedDriver d;
  EXPECT_EQ(d.driver.SetKorvidTesselSpeed(0, 65536), kIOReturnNotFound);
  std::uint64_t out[1] = {5};
  const std::uint64_t in[3] = {0, kKvSA, 0x10000};
  EXPECT_EQ(d.Call(0, in, out), kIOReturnSuccess);
  EXPECT_EQ(out[0], 0u);
}

TEST(Control, UnknownCommandIsABadArgumentWithOutputZero) {
  StartedDriver d;
  std::uint64_t out[1] = {5};
  const std::uint64_t in[3] = {0, FourCC("KvXX"), 1};
  EXPECT_EQ(d.Call(0, in, out), kIOReturnBadArgument);
  EXPECT_EQ(out[0], 0u);
}

TEST(Control, CommandsAndAccelerationsBeyond32BitsAreBadArgumentsWithNothingApplied) {
  struct Case {
    std::uint64_t command;
    std::uint64_t value;
    IOReturn status;
    std::optional<std::int32_t> applied;
  };
  for (const Case& c : {Case{kKvSA, 0x1'0001'0000ull, kIOReturnBadArgument, {}},
                        Case{kKvSA, 1ull << 63, kIOReturnBadArgument, {}},
                        Case{kKvSA, 0xFFFF'FFFF'7FFF'FFFFull, kIOReturnBadArgument, {}},
                        Case{0x1'0000'0000ull | kKvSA, 0x10000, kIOReturnBadArgument, {}},
                        Case{0x1'0000'0000ull | kKvID, 0, kIOReturnBadArgument, {}},
                        Case{kKvSA, 0xFFFF'FFFF'FFFF'0000ull, kIOReturnSuccess, -65536},  // sign-extended
                        Case{kKvSA, 0x7FFF'FFFF, kIOReturnSuccess, 0x7FFF'FFFF},
                        Case{kKvID, 0xFFFF'FFFF'0000'0000ull, kIOReturnBadArgument, {}},
                        Case{kKvSA, 0x8000'0000, kIOReturnSuccess, INT32_MIN},
                        Case{kKvSA, 0xFFFF'FFFF'8000'0000ull, kIOReturnSuccess, INT32_MIN}}) {
    StartedDriver d;
    RecordingPointing pointing;
    pointing.attach(&d.driver);
    std::uint64_t out[1] = {99};
    const std::uint64_t in[3] = {0, c.command, c.value};
    EXPECT_EQ(d.Call(0, in, out), c.status) << std::hex << c.command << " " << c.value;
    EXPECT_EQ(out[0], 0u);
    ASSERT_EQ(pointing.Received().size(), c.applied ? 1u : 0u);
    if (c.applied) {
      EXPECT_EQ(StoredAcceleration(pointing.Received()[0]), *c.applied);
    }
  }
}

TEST(Control, WritesNoOutputThroughANullPointer) {
  StartedDriver d;
  EXPECT_EQ(d.driver.Control(0, kKvID, 0, nullptr), kIOReturnSuccess);
  EXPECT_EQ(d.driver.Control(0, 0, 0, nullptr), kIOReturnBadArgument);
}

TEST(FindOwnIOHIPointing, FindsAServiceNamedEitherWayAnywhereBelowTheDriver) {
  StartedDriver d;
  IOService hidInterface("IOHIDInterface");
  IOService eventService("IOHIDEventService");
  RecordingPointing pointing;
  pointing.setName("IOHIPointing");
  hidInterface.attach(&d.driver);
  eventService.attach(&hidInterface);
  pointing.attach(&eventService);
  EXPECT_EQ(d.driver.FindOwnIOHIPointing(), &pointing);
}

TEST(FindOwnIOHIPointing, AnEntryNamedIOHIDPointingThatIsNoPointingServiceEndsTheSearch) {
  StartedDriver d;
  IOService impostor("IOHIDPointing");
  RecordingPointing pointing;  // named IOHIDPointing too, but found later
  impostor.attach(&d.driver);
  pointing.attach(&d.driver);
  EXPECT_EQ(d.driver.FindOwnIOHIPointing(), nullptr);

  std::uint64_t out[1] = {5};
  const std::uint64_t in[3] = {0, kKvSA, 0x10000};
  EXPECT_EQ(d.Call(0, in, out), kIOReturnSuccess);
  EXPECT_EQ(out[0], 0u);
  EXPECT_TRUE(pointing.Received().empty());
}

TEST(FindOwnIOHIPointing, IgnoresPointingServicesOfOtherMiceAndEntriesWithoutName) {
  StartedDriver mine;
  StartedDriver other;
  RecordingPointing othersPointing;
  othersPointing.attach(&other.driver);
  IOService unnamed("");
  unnamed.attach(&mine.driver);
  EXPECT_EQ(mine.driver.FindOwnIOHIPointing(), nullptr);
  EXPECT_EQ(other.driver.FindOwnIOHIPointing(), &othersPointing);
}

TEST(FindOwnIOHIPointing, SearchesDepthFirstInAttachOrder) {
  StartedDriver d;
  IOService branch("branch");
  RecordingPointing deep;
  RecordingPointing shallowLater;
  branch.attach(&d.driver);
  deep.attach(&branch);
  shallowLater.attach(&d.driver);
  EXPECT_EQ(d.driver.FindOwnIOHIPointing(), &deep);
}

TEST(UserClient, IndexOneIsUnsupported) {
  StartedDriver d;
  std::uint64_t out[1];
  const std::uint64_t in[3] = {0, kKvID, 0};
  EXPECT_EQ(d.Call(1, in, out), kIOReturnUnsupported);
  EXPECT_EQ(d.Call(0xFFFFFFFFu, in, out), kIOReturnUnsupported);
}

TEST(UserClient, WrongCountsAreRefusedBeforeControlRuns) {
  StartedDriver d;
  RecordingPointing pointing;
  pointing.attach(&d.driver);
  std::uint64_t out[2] = {42, 42};
  const std::uint64_t four[4] = {0, kKvSA, 0x10000, 0};
  EXPECT_EQ(d.Call(0, std::span(four).first(2), std::span(out).first(1)), kIOReturnBadArgument);
  EXPECT_EQ(d.Call(0, four, std::span(out).first(1)), kIOReturnBadArgument);
  EXPECT_EQ(d.Call(0, std::span(four).first(3), std::span<std::uint64_t>()), kIOReturnBadArgument);
  EXPECT_EQ(d.Call(0, std::span(four).first(3), out), kIOReturnBadArgument);
  EXPECT_TRUE(pointing.Received().empty());
  EXPECT_EQ(out[0], 42u);
}

TEST(NewUserClient, KvdUMakesAStartedClientAttachedToTheDriver) {
  StartedDriver d;
  std::unique_ptr<IOUserClient> client;
  ASSERT_EQ(d.driver.newUserClient({321, 1000}, nullptr, kKvdU, client), kIOReturnSuccess);
  auto* tesselClient = dynamic_cast<KorvidTesselUserClient*>(client.get());
  ASSERT_NE(tesselClient, nullptr);
  EXPECT_TRUE(client->isAttachedTo(&d.driver));
  EXPECT_EQ(tesselClient->Provider(), &d.driver);
  EXPECT_EQ(tesselClient->Task().pid, 321);
  EXPECT_TRUE(client->getBoolProperty("IOUserClientCrossEndianCompatible"));
  const IOExternalMethod* method = client->getExternalMethodForIndex(0);
  ASSERT_NE(method, nullptr);
  EXPECT_EQ(method->object, &d.driver);
  EXPECT_EQ(method->flags, kIOUCScalarIScalarO);
  EXPECT_EQ(method->count0, 3u);
  EXPECT_EQ(method->count1, 1u);
}

TEST(NewUserClient, ManyClientsMayBeOpenOnOneDriver) {
  StartedDriver d;
  std::unique_ptr<IOUserClient> a, b;
  ASSERT_EQ(d.driver.newUserClient({}, nullptr, kKvdU, a), kIOReturnSuccess);
  ASSERT_EQ(d.driver.newUserClient({}, nullptr, kKvdU, b), kIOReturnSuccess);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(d.driver.children().size(), 2u);
}

TEST(NewUserClient, AnotherTypeIsServedAsTheBaseServiceServesIt) {
  StartedDriver d;
  IOService plain("IOService");
  std::unique_ptr<IOUserClient> fromDriver = KorvidTesselUserClient::withTask({});
  std::unique_ptr<IOUserClient> fromBase = KorvidTesselUserClient::withTask({});
  const IOReturn driverAnswer = d.driver.newUserClient({}, nullptr, 0, fromDriver);
  const IOReturn baseAnswer = plain.newUserClient({}, nullptr, 0, fromBase);
  EXPECT_EQ(driverAnswer, baseAnswer);
  EXPECT_EQ(driverAnswer, kIOReturnUnsupported);
  EXPECT_EQ(fromDriver, nullptr);
  EXPECT_TRUE(d.driver.children().empty());
}

TEST(UserClientLifecycle, CloseDetachesFromTheDriverAndSucceeds) {
  StartedDriver d;
  std::unique_ptr<IOUserClient> client;
  ASSERT_EQ(d.driver.newUserClient({}, nullptr, kKvdU, client), kIOReturnSuccess);
  EXPECT_EQ(client->clientClose(), kIOReturnSuccess);
  EXPECT_FALSE(client->isAttachedTo(&d.driver));
  EXPECT_TRUE(d.driver.children().empty());
  // A closed client offers its method no more.
  std::uint64_t out[1];
  const std::uint64_t in[3] = {0, kKvID, 0};
  EXPECT_EQ(CallScalarMethod(*client, 0, in, out), kIOReturnUnsupported);
}

// A client whose close is observed, to see clientDied go through the virtual slot.
TEST(UserClientLifecycle, DeathDetachesThroughClose) {
  StartedDriver d;
  std::unique_ptr<IOUserClient> client;
  ASSERT_EQ(d.driver.newUserClient({}, nullptr, kKvdU, client), kIOReturnSuccess);
  EXPECT_EQ(client->clientDied(), kIOReturnSuccess);
  EXPECT_TRUE(d.driver.children().empty());
}

TEST(UserClientLifecycle, ADriverThatGoesAwayLeavesItsClientsWithoutAMethod) {
  auto d = std::make_unique<StartedDriver>();
  std::unique_ptr<IOUserClient> client;
  ASSERT_EQ(d->driver.newUserClient({}, nullptr, kKvdU, client), kIOReturnSuccess);
  d.reset();
  EXPECT_TRUE(client->parents().empty());
  EXPECT_EQ(client->getExternalMethodForIndex(0), nullptr);
}

TEST(UserClient, OffersNoNotificationPortNoSharedMemoryAndAcceptsConnects) {
  StartedDriver d;
  std::unique_ptr<KorvidTesselUserClient> client = KorvidTesselUserClient::withTask({});
  std::uint32_t options = 0;
  std::uint64_t address = 0, size = 0;
  EXPECT_EQ(client->registerNotificationPort(3, 0), kIOReturnUnsupported);
  EXPECT_EQ(client->clientMemoryForType(0, &options, &address, &size), kIOReturnUnsupported);
  EXPECT_EQ(client->connectClient(nullptr), kIOReturnSuccess);
  EXPECT_EQ(client->getExternalMethodForIndex(0), nullptr);  // not started on a driver
}

TEST(Registry, DestroyingAnEntryUnlinksItEverywhere) {
  auto parent = std::make_unique<IOService>("parent");
  IOService child("child");
  IOService grandchild("grandchild");
  child.attach(parent.get());
  grandchild.attach(&child);
  EXPECT_FALSE(child.attach(&child));
  EXPECT_EQ(parent->EntriesBelow(), (std::vector<IORegistryEntry*>{&child, &grandchild}));
  parent.reset();
  EXPECT_TRUE(child.parents().empty());
}

}  // namespace
}  // namespace korvid

extern "C" void MakeKextloadHappy(void);
TEST(Module, ExportsMakeKextloadHappy) { MakeKextloadHappy(); }
