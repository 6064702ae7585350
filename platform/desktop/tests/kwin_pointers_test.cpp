// SPDX-License-Identifier: MIT
// KWinPointers against fake KWin objects on a private bus: a manager and devices exported
// as KWin exports its own (Qt properties of the same names and types), on a connection
// and thread of their own, since the code under test makes blocking calls.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop/KWinPointers.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/events/testing/QtTestLoop.h"

namespace korvid {
// Named, not anonymous: moc's code names these classes.
namespace kwinfakes {

class FakeKWinDevice : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.KWin.InputDevice")
  Q_PROPERTY(bool pointer READ pointer CONSTANT)
  Q_PROPERTY(bool keyboard READ keyboard CONSTANT)
  Q_PROPERTY(quint32 vendor READ vendor CONSTANT)
  Q_PROPERTY(quint32 product READ product CONSTANT)
  Q_PROPERTY(QString name READ name CONSTANT)
  Q_PROPERTY(QString sysName READ sysName CONSTANT)
  Q_PROPERTY(bool pointerAccelerationProfileFlat READ flat WRITE setFlat)
  Q_PROPERTY(qreal pointerAcceleration READ acceleration WRITE setAcceleration)

 public:
  struct Setup {
    QString sysName;
    QString name;
    quint32 vendor;
    quint32 product;
    bool pointer = true;
    bool flat = false;
    double acceleration = 0.4;
    bool supportsFlat = true;  // KWin ignores flat on a device without that profile
  };
  explicit FakeKWinDevice(const Setup& setup)
      : setup_(setup), flat_(setup.flat), acceleration_(setup.acceleration) {}

  bool pointer() const { return setup_.pointer; }
  bool keyboard() const { return !setup_.pointer; }
  quint32 vendor() const { return setup_.vendor; }
  quint32 product() const { return setup_.product; }
  QString name() const { return setup_.name; }
  QString sysName() const { return setup_.sysName; }
  bool flat() const { return flat_; }
  void setFlat(bool flat) {
    if (setup_.supportsFlat) flat_ = flat;
  }
  qreal acceleration() const { return acceleration_; }
  void setAcceleration(qreal acceleration) { acceleration_ = acceleration; }

 private:
  const Setup setup_;
  std::atomic<bool> flat_;
  std::atomic<double> acceleration_;
};

class FakeKWinManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.KWin.InputDeviceManager")
  Q_PROPERTY(QStringList devicesSysNames READ devicesSysNames CONSTANT)

 public:
  QStringList devicesSysNames() const {
    std::lock_guard lock(mutex_);
    return names_;
  }
  void Add(const QString& sysName) {
    std::lock_guard lock(mutex_);
    names_.append(sysName);
  }

 Q_SIGNALS:
  void deviceAdded(const QString& sysName);
  void deviceRemoved(const QString& sysName);

 private:
  mutable std::mutex mutex_;
  QStringList names_;
};

}  // namespace kwinfakes

namespace {

using kwinfakes::FakeKWinDevice;
using kwinfakes::FakeKWinManager;
using testing::PrivateBus;
using testing::RunUntil;
using testing::TestApplication;

constexpr quint32 kTessel[] = {0x3A7C, 0x0D51};
const QString kCloneName = QStringLiteral("Korvid Tessel (korvid-tessel-driver)");

class KWinKeeping : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    ASSERT_TRUE(bus_.Running()) << bus_.Error();
    kwinBus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), QStringLiteral("fake-kwin")));
    ourBus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), QStringLiteral("keeper")));
    ASSERT_TRUE(kwinBus_->isConnected());
    ASSERT_TRUE(ourBus_->isConnected());
    thread_.start();
    manager_ = Export(new FakeKWinManager, "/org/kde/KWin/InputDevice", "org.kde.KWin.InputDeviceManager");
    pointers_ = std::make_unique<KWinPointers>(*ourBus_, [this](const std::string& line) { log_.push_back(line); });
  }
  void TearDown() override {
    pointers_.reset();
    ourBus_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("keeper"));
    kwinBus_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-kwin"));
    thread_.quit();
    thread_.wait();
  }

  // Exports `object` and moves it to the fake's thread (deleted when that ends).
  template <typename T>
  T* Export(T* object, const QString& path, const char* interface) {
    // Registered first: that gives it children, which move with it.
    EXPECT_TRUE(kwinBus_->registerObject(path, QLatin1String(interface), object,
                                         QDBusConnection::ExportAllProperties | QDBusConnection::ExportAllSignals));
    object->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, object, &QObject::deleteLater);
    return object;
  }
  FakeKWinDevice* Device(const FakeKWinDevice::Setup& setup) {
    auto* device = Export(new FakeKWinDevice(setup), "/org/kde/KWin/InputDevice/" + setup.sysName,
                          "org.kde.KWin.InputDevice");
    manager_->Add(setup.sysName);
    return device;
  }
  void Announce(const QString& sysName) {
    QMetaObject::invokeMethod(manager_, [manager = manager_, sysName] { Q_EMIT manager->deviceAdded(sysName); });
  }
  void TakeName() { ASSERT_TRUE(kwinBus_->registerService(QStringLiteral("org.kde.KWin"))); }

  PrivateBus bus_;
  std::unique_ptr<QDBusConnection> kwinBus_;
  std::unique_ptr<QDBusConnection> ourBus_;
  QThread thread_;
  FakeKWinManager* manager_ = nullptr;
  std::vector<std::string> log_;
  std::unique_ptr<KWinPointers> pointers_;
};

TEST_F(KWinKeeping, OnlyTheTesselPointerIsMadeFlatNowAndWhenAdded) {
  FakeKWinDevice* clone = Device({"event3", kCloneName, kTessel[0], kTessel[1]});
  FakeKWinDevice* other = Device({"event4", "Logitech G502 HERO", 0x046D, 0xC08B});
  FakeKWinDevice* keys = Device({"event5", kCloneName, kTessel[0], kTessel[1], /*pointer=*/false});
  FakeKWinDevice* own = Device({"event6", "Korvid Tessel", kTessel[0], kTessel[1], true, /*flat=*/true, 0.0});

  // Not there until KWin has its name on the bus.
  EXPECT_FALSE(KWinPointers::Present(*ourBus_));
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kUnknown);
  EXPECT_EQ(pointers_->Keep(), connectionInvalid);
  TakeName();
  ASSERT_TRUE(KWinPointers::Present(*ourBus_));
  EXPECT_EQ(pointers_->Read().desktop, "KDE Plasma");
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kStacked);

  ASSERT_EQ(pointers_->Keep(), noErr);
  EXPECT_TRUE(clone->flat());
  EXPECT_EQ(clone->acceleration(), 0.0);
  EXPECT_FALSE(other->flat());
  EXPECT_EQ(other->acceleration(), 0.4);
  EXPECT_FALSE(keys->flat());
  EXPECT_EQ(keys->acceleration(), 0.4);
  EXPECT_TRUE(own->flat());
  EXPECT_EQ(log_, std::vector<std::string>{
                      R"q(the desktop's acceleration is now flat on KWin input device event3 "Korvid Tessel (korvid-tessel-driver)")q"});
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kFlat);

  // Another mouse, then the Tessel again, plugged in later.
  FakeKWinDevice* otherLater = Device({"event9", "USB Receiver", 0x046D, 0xC52B});
  FakeKWinDevice* cloneLater = Device({"event10", kCloneName, kTessel[0], kTessel[1], true, false, -0.5});
  Announce("event9");
  Announce("event10");
  ASSERT_TRUE(RunUntil([&] { return log_.size() == 2; }));
  EXPECT_TRUE(cloneLater->flat());
  EXPECT_EQ(cloneLater->acceleration(), 0.0);
  EXPECT_FALSE(otherLater->flat());
  EXPECT_EQ(log_.at(1), R"q(the desktop's acceleration is now flat on KWin input device event10 "Korvid Tessel (korvid-tessel-driver)")q");
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kFlat);
}

TEST_F(KWinKeeping, APointerThatStaysAdaptiveIsReportedAndCountsAsStacked) {
  Device({"event7", kCloneName, kTessel[0], kTessel[1], true, false, 0.0, /*supportsFlat=*/false});
  TakeName();
  ASSERT_EQ(pointers_->Keep(), noErr);
  EXPECT_EQ(log_, std::vector<std::string>{
                      R"q(could not make the desktop's acceleration flat on KWin input device event7 "Korvid Tessel (korvid-tessel-driver)")q"});
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kStacked);
  EXPECT_EQ(pointers_->SetGlobalProfileFlat(), paramErr);
}

}  // namespace
}  // namespace korvid

#include "kwin_pointers_test.moc"
