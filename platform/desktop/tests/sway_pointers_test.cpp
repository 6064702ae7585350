// SPDX-License-Identifier: MIT
// SwayPointers against a fake sway: an IPC server on a socket of the test's own, on a thread
// of its own (the code under test waits for replies with blocking calls). The fake frames
// its messages itself and takes commands apart as sway's parser does, so quoting and
// framing are checked against sway's rules, not against our own code.
#include <gtest/gtest.h>

#include <QDataStream>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSysInfo>
#include <QThread>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop/SwayPointers.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/events/testing/QtTestLoop.h"

// Readable QStrings in failure messages.
inline void PrintTo(const QString& value, std::ostream* out) { *out << '"' << value.toStdString() << '"'; }

namespace korvid {
namespace {

using testing::RunUntil;
using testing::TempFolder;
using testing::TestApplication;

constexpr quint32 kRunCommand = 0;
constexpr quint32 kSubscribe = 2;
constexpr quint32 kGetInputs = 100;
constexpr quint32 kInputEvent = 0x80000015;

const QString kClone = QStringLiteral("14972:3409:Korvid_Tessel_(korvid-tessel-driver)");

QJsonObject Input(const QString& identifier, const QString& type, int vendor, int product,
                  const QString& profile = QStringLiteral("adaptive"), double speed = 0.5) {
  QJsonObject libinput{{"send_events", "enabled"}};
  if (type == QLatin1String("pointer")) {
    libinput.insert("accel_profile", profile);
    libinput.insert("accel_speed", speed);
  }
  return {{"identifier", identifier}, {"name", identifier.section(u':', 2)}, {"type", type}, {"vendor", vendor},
          {"product", product},       {"libinput", libinput}};
}

class FakeSway : public QObject {
 public:
  explicit FakeSway(QString path) : path_(std::move(path)) {}

  // On the fake's thread.
  bool Listen() {
    server_ = new QLocalServer(this);
    QObject::connect(server_, &QLocalServer::newConnection, this, [this] {
      while (QLocalSocket* socket = server_->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadable(socket); });
      }
    });
    return server_->listen(path_);
  }

  // Any thread.
  void SetInputs(QJsonArray inputs) {
    std::lock_guard lock(mutex_);
    inputs_ = std::move(inputs);
  }
  QJsonObject InputOf(const QString& identifier, const QString& type = QStringLiteral("pointer")) {
    std::lock_guard lock(mutex_);
    for (const QJsonValue& value : inputs_) {
      const QJsonObject input = value.toObject();
      if (input.value("identifier") == identifier && input.value("type") == type) return input;
    }
    return {};
  }
  void Refuse(const QString& setting, const QString& error) {
    std::lock_guard lock(mutex_);
    refused_[setting] = error;
  }
  std::vector<QString> Commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  bool Subscribed() {
    std::lock_guard lock(mutex_);
    return !subscribers_.empty();
  }
  // sway's own news of an input: `input` is first put in the list (or replaces the one of
  // the same identifier and type), then the event goes to every subscriber.
  void Announce(const QString& change, const QJsonObject& input) {
    QMetaObject::invokeMethod(this, [this, change, input] {
      {
        std::lock_guard lock(mutex_);
        Store(input);
      }
      Broadcast(change, input);
    });
  }

 private:
  void Store(const QJsonObject& input) {
    for (qsizetype i = 0; i < inputs_.size(); ++i) {
      const QJsonObject stored = inputs_.at(i).toObject();
      if (stored.value("identifier") == input.value("identifier") && stored.value("type") == input.value("type")) {
        inputs_[i] = input;
        return;
      }
    }
    inputs_.append(input);
  }

  static QDataStream::ByteOrder Native() {
    return QSysInfo::ByteOrder == QSysInfo::LittleEndian ? QDataStream::LittleEndian : QDataStream::BigEndian;
  }
  static void Send(QLocalSocket* socket, quint32 type, const QByteArray& payload) {
    QByteArray message("i3-ipc");
    QDataStream out(&message, QIODevice::Append);
    out.setByteOrder(Native());
    out << static_cast<quint32>(payload.size()) << type;
    message.append(payload);
    socket->write(message);
  }
  void Broadcast(const QString& change, const QJsonObject& input) {
    const QByteArray body = QJsonDocument(QJsonObject{{"change", change}, {"input", input}}).toJson();
    for (QLocalSocket* subscriber : subscribers_) Send(subscriber, kInputEvent, body);
  }

  void OnReadable(QLocalSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    while (buffer.size() >= 14) {
      EXPECT_TRUE(buffer.startsWith("i3-ipc"));
      QDataStream in(buffer.mid(6, 8));
      in.setByteOrder(Native());
      quint32 length = 0;
      quint32 type = 0;
      in >> length >> type;
      if (buffer.size() < 14 + static_cast<qsizetype>(length)) return;
      const QByteArray payload = buffer.mid(14, length);
      buffer.remove(0, 14 + length);
      Handle(socket, type, payload);
    }
  }

  void Handle(QLocalSocket* socket, quint32 type, const QByteArray& payload) {
    if (type == kGetInputs) {
      std::lock_guard lock(mutex_);
      Send(socket, kGetInputs, QJsonDocument(inputs_).toJson());
    } else if (type == kSubscribe) {
      EXPECT_EQ(QJsonDocument::fromJson(payload).array(), QJsonArray{"input"});
      std::lock_guard lock(mutex_);
      subscribers_.push_back(socket);
      Send(socket, kSubscribe, R"({"success": true})");
    } else if (type == kRunCommand) {
      RunCommand(socket, QString::fromUtf8(payload));
    } else {
      ADD_FAILURE() << "unexpected message type " << type;
    }
  }

  // `input <identifier> accel_profile <profile>` or `input <identifier> pointer_accel <speed>`:
  // the identifier quoted or not; inside quotes a backslash takes the next character as it is.
  void RunCommand(QLocalSocket* socket, const QString& command) {
    QJsonObject changed;
    QJsonObject result{{"success", true}};
    {
      std::lock_guard lock(mutex_);
      commands_.push_back(command);
      QString identifier;
      qsizetype at = 6;
      EXPECT_TRUE(command.startsWith(QLatin1String("input ")));
      if (at < command.size() && command.at(at) == u'"') {
        for (++at; at < command.size() && command.at(at) != u'"'; ++at) {
          if (command.at(at) == u'\\') ++at;
          if (at < command.size()) identifier += command.at(at);
        }
        ++at;
      } else {
        while (at < command.size() && command.at(at) != u' ') identifier += command.at(at++);
      }
      const QStringList setting = command.mid(at).trimmed().split(u' ');
      EXPECT_EQ(setting.size(), 2) << command.toStdString();
      if (refused_.count(setting.value(0)) != 0) {
        result = {{"success", false}, {"error", refused_[setting.value(0)]}};
      } else {
        for (qsizetype i = 0; i < inputs_.size(); ++i) {
          QJsonObject input = inputs_.at(i).toObject();
          if (input.value("identifier") != identifier || input.value("type") != QLatin1String("pointer")) continue;
          QJsonObject libinput = input.value("libinput").toObject();
          if (setting.value(0) == QLatin1String("accel_profile")) libinput["accel_profile"] = setting.value(1);
          if (setting.value(0) == QLatin1String("pointer_accel")) libinput["accel_speed"] = setting.value(1).toDouble();
          input["libinput"] = libinput;
          inputs_[i] = input;
          changed = input;
        }
      }
    }
    Send(socket, kRunCommand, QJsonDocument(QJsonArray{result}).toJson());
    // As sway does after a change of settings.
    if (!changed.isEmpty()) Broadcast(QStringLiteral("libinput_config"), changed);
  }

  QString path_;
  QLocalServer* server_ = nullptr;
  std::map<QLocalSocket*, QByteArray> buffers_;
  std::mutex mutex_;
  QJsonArray inputs_;
  std::map<QString, QString> refused_;
  std::vector<QString> commands_;
  std::vector<QLocalSocket*> subscribers_;
};

class SwayKeeping : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    path_ = QString::fromStdString(folder_.Path() + "/sway-ipc.sock");
    fake_ = new FakeSway(path_);
    fake_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, fake_, &QObject::deleteLater);
    thread_.start();
    bool listening = false;
    QMetaObject::invokeMethod(fake_, [&] { listening = fake_->Listen(); }, Qt::BlockingQueuedConnection);
    ASSERT_TRUE(listening);
    fake_->SetInputs({
        Input(QStringLiteral("14972:3409:Korvid_Tessel_(korvid-tessel-driver)"), "keyboard", 14972, 3409),
        Input(QStringLiteral("1133:49291:Logitech_G502_HERO"), "pointer", 1133, 49291),
        Input(kClone, "pointer", 14972, 3409),
        // The mouse's own node, already flat: left alone, and not reported.
        Input(QStringLiteral("14972:3409:Korvid_Tessel"), "pointer", 14972, 3409, "flat", 0.0),
    });
    pointers_ = std::make_unique<SwayPointers>(path_, [this](const std::string& line) { log_.push_back(line); });
  }
  void TearDown() override {
    pointers_.reset();
    thread_.quit();
    thread_.wait();
  }

  static QString Command(const QString& quotedIdentifier, const char* setting) {
    return QStringLiteral("input ") + quotedIdentifier + u' ' + QLatin1String(setting);
  }
  std::size_t CommandsFor(const QString& quotedIdentifier) {
    std::size_t count = 0;
    for (const QString& command : fake_->Commands()) count += command.startsWith("input " + quotedIdentifier + " ");
    return count;
  }

  TempFolder folder_;
  QString path_;
  QThread thread_;
  FakeSway* fake_ = nullptr;
  std::vector<std::string> log_;
  std::unique_ptr<SwayPointers> pointers_;
};

TEST_F(SwayKeeping, OnlyTheTesselPointersAreMadeFlatNowAndWhenAdded) {
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kStacked);
  EXPECT_EQ(pointers_->Read().desktop, "sway");
  EXPECT_FALSE(pointers_->Read().globalSettingOnly);

  ASSERT_EQ(pointers_->Keep(), noErr);
  const QString quoted = QStringLiteral(R"q("14972:3409:Korvid_Tessel_(korvid-tessel-driver)")q");
  EXPECT_EQ(fake_->Commands(), (std::vector<QString>{Command(quoted, "accel_profile flat"),
                                                     Command(quoted, "pointer_accel 0")}));
  EXPECT_EQ(log_, std::vector<std::string>{
                      R"q(the desktop's acceleration is now flat on sway input "14972:3409:Korvid_Tessel_(korvid-tessel-driver)")q"});
  EXPECT_EQ(fake_->InputOf(QStringLiteral("1133:49291:Logitech_G502_HERO")).value("libinput").toObject().value("accel_profile"),
            QStringLiteral("adaptive"));
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kFlat);

  // Plugged in later: another mouse (left alone), then a Tessel whose name needs escaping.
  ASSERT_TRUE(RunUntil([&] { return fake_->Subscribed(); }));
  const QString odd = QStringLiteral(R"(14972:3409:Tessel_"Pro"_\_Edition)");
  fake_->Announce(QStringLiteral("added"), Input(QStringLiteral("1133:50475:USB_Receiver"), "pointer", 1133, 50475));
  fake_->Announce(QStringLiteral("added"), Input(odd, "pointer", 14972, 3409, "adaptive", -0.3));
  ASSERT_TRUE(RunUntil([&] { return log_.size() == 2; }));
  const QString oddQuoted = QStringLiteral(R"("14972:3409:Tessel_\"Pro\"_\\_Edition")");
  EXPECT_EQ(fake_->Commands().size(), 4u);
  EXPECT_EQ(fake_->Commands().at(2), Command(oddQuoted, "accel_profile flat"));
  EXPECT_EQ(log_.at(1), "the desktop's acceleration is now flat on sway input \"" + odd.toStdString() + "\"");
  // sway took the identifier back as it is: the setting landed on that input.
  EXPECT_TRUE(sway::IsFlatAtZero(fake_->InputOf(odd)));
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kFlat);
}

TEST_F(SwayKeeping, ARefusedCommandIsReportedAndTheStateStaysStacked) {
  fake_->Refuse(QStringLiteral("pointer_accel"), QStringLiteral("Invalid pointer accel; expected float."));
  ASSERT_EQ(pointers_->Keep(), noErr);
  EXPECT_EQ(log_, std::vector<std::string>{
                      R"q(sway refused `input "14972:3409:Korvid_Tessel_(korvid-tessel-driver)" pointer_accel 0`: )q"
                      "Invalid pointer accel; expected float."});
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kStacked);
}

TEST_F(SwayKeeping, APointerChangedBackIsMadeFlatAgainAFewTimesOnly) {
  ASSERT_EQ(pointers_->Keep(), noErr);
  ASSERT_TRUE(RunUntil([&] { return fake_->Subscribed(); }));
  const QString quoted = sway::QuotedArgument(kClone);
  ASSERT_EQ(CommandsFor(quoted), 2u);
  // Someone sets it back, each time after it was made flat again.
  for (int i = 1; i <= kMaxFlatAgain; ++i) {
    fake_->Announce(QStringLiteral("libinput_config"), Input(kClone, "pointer", 14972, 3409, "adaptive", 0.5));
    ASSERT_TRUE(RunUntil([&] { return CommandsFor(quoted) == 2u + 2u * i; })) << i;
  }
  // Once more: the keeper gives up, and says so once, however often it comes again.
  fake_->Announce(QStringLiteral("libinput_config"), Input(kClone, "pointer", 14972, 3409, "adaptive", 0.5));
  fake_->Announce(QStringLiteral("libinput_config"), Input(kClone, "pointer", 14972, 0x0D51, "flat", 0.7));
  // A Tessel added after them: once it is flat, every change before it was handled.
  const QString later = QStringLiteral("14972:3409:Korvid_Tessel_Wireless");
  fake_->Announce(QStringLiteral("added"), Input(later, "pointer", 14972, 3409));
  ASSERT_TRUE(RunUntil([&] { return CommandsFor(sway::QuotedArgument(later)) == 2; }));
  EXPECT_EQ(CommandsFor(quoted), 2u + 2u * kMaxFlatAgain);
  std::size_t again = 0;
  std::size_t givenUp = 0;
  for (const std::string& line : log_) {
    again += line.find("was changed back; making it flat again") != std::string::npos;
    givenUp += line.find("keeps being changed back; leaving it as it is") != std::string::npos;
  }
  EXPECT_EQ(again, static_cast<std::size_t>(kMaxFlatAgain));
  EXPECT_EQ(givenUp, 1u);
  EXPECT_EQ(pointers_->Read().acceleration, DesktopAcceleration::kStacked);
}

TEST_F(SwayKeeping, WithoutSwayNothingIsKnown) {
  SwayPointers absent(path_ + ".gone");
  EXPECT_EQ(absent.Read().desktop, "sway");
  EXPECT_EQ(absent.Read().acceleration, DesktopAcceleration::kUnknown);
  EXPECT_EQ(absent.Keep(), connectionInvalid);
  EXPECT_EQ(absent.SetGlobalProfileFlat(), paramErr);
}

TEST(SwayQuoting, SwaysParserGivesBackTheIdentifier) {
  struct Row {
    QString identifier;
    QString quoted;
  };
  const Row rows[] = {
      {QStringLiteral("14972:3409:Korvid_Tessel_(korvid-tessel-driver)"),
       QStringLiteral(R"q("14972:3409:Korvid_Tessel_(korvid-tessel-driver)")q")},
      {QStringLiteral(R"(1:2:a"b)"), QStringLiteral(R"("1:2:a\"b")")},
      {QStringLiteral(R"(1:2:a\b)"), QStringLiteral(R"("1:2:a\\b")")},
      {QStringLiteral("1:2:a;b,c'd"), QStringLiteral(R"("1:2:a;b,c'd")")},  // quotes keep them one argument
  };
  for (const Row& row : rows) EXPECT_EQ(sway::QuotedArgument(row.identifier), row.quoted) << row.identifier.toStdString();
}

TEST(SwayFraming, MessagesComeOffTheBufferWholeAndInOrder) {
  QByteArray buffer = sway::Encode(sway::kRunCommand, "[]") + sway::Encode(sway::kInputEvent, "{}");
  const QByteArray last = buffer.right(3);
  buffer.chop(3);
  bool corrupt = true;
  auto first = sway::TakeMessage(buffer, corrupt);
  ASSERT_TRUE(first);
  EXPECT_FALSE(corrupt);
  EXPECT_EQ(first->type, sway::kRunCommand);
  EXPECT_EQ(first->payload, "[]");
  EXPECT_FALSE(sway::TakeMessage(buffer, corrupt));  // the second is not all there yet
  EXPECT_FALSE(corrupt);
  buffer += last;
  auto second = sway::TakeMessage(buffer, corrupt);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->type, sway::kInputEvent);
  EXPECT_EQ(second->payload, "{}");
  EXPECT_TRUE(buffer.isEmpty());

  QByteArray garbage("HTTP/1.1 400 Bad Request\r\n");
  EXPECT_FALSE(sway::TakeMessage(garbage, corrupt));
  EXPECT_TRUE(corrupt);
}

}  // namespace
}  // namespace korvid
