// The main window under Qt's offscreen platform, with the controller's parts
// replaced by the fakes: the design table, the CJK fonts, the form's rules
// and the start button's error boxes. Saves a picture of the window for a
// person to look at (tests/TidecastMain.png in the build folder).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QLocale>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRawFont>
#include <QTimer>
#include <fstream>
#include <memory>
#include <thread>

#include "ErrorReports.h"
#include "LauncherLines.h"
#include "Processes.h"
#include "PushFakes.h"
#include "QtApplications.h"
#include "TidecastMains.h"

using fakes::TFakeCapturer;
using fakes::TFakeDelayBuffer;
using fakes::TFakeSender;

namespace {

// The launcher lines go out on a writer thread: let it finish first.
std::string CapturedLauncherLines() {
  DrainLauncherLines(std::chrono::seconds(5));
  return testing::internal::GetCapturedStdout();
}

const auto* const qtEnvironment = testing::AddGlobalTestEnvironment(new testsupport::TQtEnvironment);

struct TBox {
  QString text, caption;
  bool owned;
  bool onMainThread;
};

struct Rig {
  testsupport::TTempDir dir{"tidecast-window"};
  TConfig config{dir.Path() + "/Orvane/Tidecast.reg"};
  TFakeSender sender;
  TFakeCapturer capturer;
  TFakeDelayBuffer::TLog bufferLog;
  std::unique_ptr<TTidecastMain> window;
  std::vector<TBox> boxes;

  explicit Rig(std::vector<std::string> arguments = {}) {
    config.Load();
    Create(std::move(arguments));
  }
  void Create(std::vector<std::string> arguments = {}) {
    window = std::make_unique<TTidecastMain>(
        config, sender, capturer, [this] { return std::make_unique<TFakeDelayBuffer>(bufferLog); },
        std::move(arguments));
    window->Controller().StopWaitStepMs = 1;
    std::thread::id mainThread = std::this_thread::get_id();
    window->ErrorBox = [this, mainThread](QWidget* owner, const QString& text, const QString& caption) {
      boxes.push_back({text, caption, owner != nullptr, std::this_thread::get_id() == mainThread});
    };
  }
};

QString U(const char* text) { return QString::fromUtf8(text); }

}  // namespace

TEST(MainWindow, ControlsFollowTheDesignTable) {
  Rig rig;
  TTidecastMain& w = *rig.window;
  struct Control {
    const char* name;
    const char* kind;
    QRect geometry;
    const char* text;  // nullptr: not compared
    bool enabled;
  } table[] = {
      {"btnStart", "QPushButton", {128, 312, 89, 33}, "开始(&S)", true},
      {"btn2", "QPushButton", {240, 312, 89, 33}, "停止(&T)", true},
      {"edtAddress", "QLineEdit", {120, 40, 130, 21}, TConfig::DefaultAddress, true},
      {"edtUser", "QLineEdit", {120, 72, 130, 21}, "admin", true},
      {"edtPassword", "QLineEdit", {120, 104, 130, 21}, "", true},
      {"edtRtmp", "QLineEdit", {120, 184, 361, 21}, TConfig::DefaultRtmpUrl, true},
      {"lbl1", "QLabel", {48, 43, 63, 13}, "主机地址", true},
      {"lbl2", "QLabel", {32, 78, 79, 13}, "用户名", true},
      {"lbl3", "QLabel", {28, 109, 79, 13}, "密   码", true},
      {"lbl4", "QLabel", {16, 188, 97, 13}, "RTMP推流地址:", true},
      {"lblStatus", "QLabel", {120, 216, 361, 73}, "", true},
      {"lblTime", "QLabel", {24, 228, 89, 25}, "00:00:00", true},
      {"edtPort", "QLineEdit", {384, 40, 45, 21}, "554", true},
      {"lbl5", "QLabel", {314, 43, 57, 13}, "RTSP端口", true},
      {"edtHttp", "QLineEdit", {384, 72, 45, 21}, "80", true},
      {"lblHttp", "QLabel", {315, 75, 57, 13}, "HTTP端口", true},
      {"Bevel1", "QFrame", {24, 24, 457, 145}, nullptr, true},
      {"Label1", "QLabel", {40, 19, 89, 22}, "录播K/KR系列", true},
      {"rbSD", "QRadioButton", {312, 104, 73, 17}, "低码流", true},
      {"rbHD", "QRadioButton", {384, 104, 73, 17}, "高码流", false},
      {"lblVersion", "QLabel", {432, 331, 48, 13}, "V1.5.0.0", true},
      {"Label2", "QLabel", {32, 141, 81, 13}, "延时多少秒", true},
      {"cbxDelay", "QComboBox", {120, 136, 65, 21}, "0", true},
  };
  for (const Control& c : table) {
    SCOPED_TRACE(c.name);
    auto* widget = w.findChild<QWidget*>(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_STREQ(widget->metaObject()->className(), c.kind);
    EXPECT_EQ(widget->geometry(), c.geometry);
    EXPECT_EQ(widget->isEnabled(), c.enabled);
    QString text;
    if (auto* b = qobject_cast<QAbstractButton*>(widget)) text = b->text();
    if (auto* e = qobject_cast<QLineEdit*>(widget)) text = e->text();
    if (auto* l = qobject_cast<QLabel*>(widget)) text = l->text();
    if (auto* x = qobject_cast<QComboBox*>(widget)) text = x->currentText();
    std::string name = c.name;
    if (c.text != nullptr && name != "lblVersion") {
      EXPECT_EQ(text, U(c.text));
    }
    bool caption = name.starts_with("lbl") && name != "lblStatus" && name != "lblTime" && name != "lblVersion";
    if (auto* l = qobject_cast<QLabel*>(widget); l && (caption || name == "Label2")) {
      EXPECT_TRUE(l->alignment() & Qt::AlignRight) << "captions are right-aligned";
    }
  }
  EXPECT_EQ(w.lblVersion->text(), "V1.5.0.0") << "the program's version from the build";
  EXPECT_EQ(w.objectName(), "TidecastMain");
  EXPECT_EQ(w.windowTitle(), U("Orvane云直播推流工具"));
  EXPECT_EQ(w.size(), QSize(503, 361));
  Qt::WindowFlags flags = w.windowFlags();
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_NE(w.minimumSize(), w.maximumSize()) << "sizeable";

  EXPECT_TRUE(w.rbSD->isChecked());
  EXPECT_FALSE(w.rbHD->isChecked());
  EXPECT_EQ(w.edtPassword->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(w.cbxDelay->isEditable());
  EXPECT_EQ(w.cbxDelay->completer(), nullptr);
  QStringList items;
  for (int i = 0; i < w.cbxDelay->count(); ++i) items << w.cbxDelay->itemText(i);
  EXPECT_EQ(items, (QStringList{"30", "60", "120", "180", "240", "300"}));
  EXPECT_EQ(w.tmr1->interval(), 1000);
  EXPECT_FALSE(w.tmr1->isActive());

  EXPECT_EQ(w.font().pixelSize(), 11);
  EXPECT_EQ(w.btnStart->font().pixelSize(), 13);
  EXPECT_EQ(w.lblStatus->font().pixelSize(), 14);
  EXPECT_EQ(w.lblStatus->font().family(), U("微软雅黑"));
  EXPECT_EQ(w.lblTime->font().pixelSize(), 19);
  EXPECT_EQ(w.lblTime->font().family(), U("宋体"));
  EXPECT_EQ(w.lblStatus->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(w.lblTime->palette().color(QPalette::WindowText), QColor(128, 128, 128));
  EXPECT_EQ(w.lblVersion->palette().color(QPalette::WindowText), QColor(128, 128, 128));
}

TEST(MainWindow, TabOrderFollowsTheDesign) {
  Rig rig;
  TTidecastMain& w = *rig.window;
  std::vector<QWidget*> expected = {w.edtAddress, w.edtUser, w.edtPassword, w.edtRtmp, w.edtPort, w.edtHttp,
                                    w.btnStart,   w.btn2,    w.rbSD,        w.rbHD,    w.cbxDelay};
  std::vector<QWidget*> focusable;
  QWidget* next = w.edtAddress;
  do {
    if (next->focusPolicy() & Qt::TabFocus) focusable.push_back(next);
    next = next->nextInFocusChain();
  } while (next != w.edtAddress && focusable.size() < 40);
  ASSERT_GE(focusable.size(), expected.size());
  focusable.resize(expected.size());
  EXPECT_EQ(focusable, expected);
}

// The design's font names resolve to the installed CJK font, which has
// glyphs for the captions; the picture lets a person check the shapes.
TEST(MainWindow, ChineseCaptionsGetACjkFont) {
  Rig rig;
  TTidecastMain& w = *rig.window;
  QString cjk = InstallFontSubstitutions();
  ASSERT_FALSE(cjk.isEmpty()) << "no CJK font installed (scripts/install-deps.sh installs one)";
  for (QWidget* widget : std::initializer_list<QWidget*>{w.lbl1, w.lblStatus, w.lblTime, w.btnStart}) {
    QFontInfo info(widget->font());
    EXPECT_EQ(info.family(), cjk) << widget->objectName().toStdString();
    QRawFont raw = QRawFont::fromFont(widget->font(), QFontDatabase::SimplifiedChinese);
    for (char32_t c : U"主机地址连接中录播开始停止")
      if (c != 0) {
        EXPECT_TRUE(raw.supportsCharacter(c)) << widget->objectName().toStdString();
      }
  }
  w.lblStatus->setText(U("连接中..."));
  w.show();
  QCoreApplication::processEvents();
  QString path = QString::fromStdString(testsupport::BuildDir() + "/tests/TidecastMain.png");
  EXPECT_TRUE(w.grab().save(path)) << path.toStdString();
}

TEST(MainWindow, FormShowsTheStoredSettings) {
  Rig rig;
  rig.config.Address = "10.9.8.7";
  rig.config.RtspPort = 8554;
  rig.config.HttpPort = 8080;
  rig.config.Username = "teacher";
  rig.config.Password = "secret";
  rig.config.RtmpUrl = "rtmp://10.0.0.1/hls/room";
  rig.config.StreamType = 1;
  rig.config.BufferTime = 45;
  rig.config.Save();
  rig.config.Load();
  rig.Create();
  TTidecastMain& w = *rig.window;
  EXPECT_EQ(w.edtAddress->text(), "10.9.8.7");
  EXPECT_EQ(w.edtPort->text(), "8554");
  EXPECT_EQ(w.edtHttp->text(), "8080");
  EXPECT_EQ(w.edtUser->text(), "teacher");
  EXPECT_EQ(w.edtPassword->text(), "secret");
  EXPECT_EQ(w.edtRtmp->text(), "rtmp://10.0.0.1/hls/room");
  EXPECT_TRUE(w.rbHD->isChecked());
  EXPECT_FALSE(w.rbSD->isChecked());
  EXPECT_EQ(w.cbxDelay->currentText(), "45");

  rig.config.StreamType = 2;  // neither button
  w.ConfigToForm();
  EXPECT_FALSE(w.rbHD->isChecked());
  EXPECT_FALSE(w.rbSD->isChecked());
}

TEST(MainWindow, FormToConfigTrimsAndFallsBack) {
  Rig rig;
  TTidecastMain& w = *rig.window;
  w.edtAddress->setText("  10.1.1.1\t");
  w.edtUser->setText(" admin ");
  w.edtPassword->setText("pass  ");
  w.edtRtmp->setText(" rtmp://10.0.0.2/hls/test1 ");
  w.edtPort->setText("abc");
  w.edtHttp->setText("");
  w.cbxDelay->setEditText("45");
  w.FormToConfig();
  EXPECT_EQ(rig.config.Address, "10.1.1.1");
  EXPECT_EQ(rig.config.Username, "admin");
  EXPECT_EQ(rig.config.Password, "pass");
  EXPECT_EQ(rig.config.RtmpUrl, "rtmp://10.0.0.2/hls/test1");
  EXPECT_EQ(rig.config.RtspPort, 554);
  EXPECT_EQ(rig.config.HttpPort, 80);
  EXPECT_EQ(rig.config.StreamType, 0);
  EXPECT_EQ(rig.config.BufferTime, 45) << "any typed number, not only the listed ones";
  w.cbxDelay->setEditText("soon");
  w.FormToConfig();
  EXPECT_EQ(rig.config.BufferTime, 0);
}

TEST(MainWindow, StartSavesTheSettingsAndUsesThePasswordAsTyped) {
  Rig rig;
  TTidecastMain& w = *rig.window;
  w.edtPassword->setText("pass ");
  w.edtRtmp->setText(" rtmp://10.0.0.2/hls/test1 ");
  w.edtPort->setText("8554");
  w.edtHttp->setText("x");  // not a number: port 80
  w.btnStart->click();
  EXPECT_TRUE(rig.boxes.empty());
  EXPECT_EQ(rig.capturer.calls.at(0), "Connect " + std::string(TConfig::DefaultAddress) + " pass  8554 80 SD");
  EXPECT_EQ(rig.sender.urls.at(0), "rtmp://10.0.0.2/hls/test1");
  EXPECT_EQ(w.lblStatus->text(), U("连接中..."));
  EXPECT_FALSE(w.btnStart->isEnabled());
  EXPECT_TRUE(w.tmr1->isActive());
  TConfig stored(rig.config.Location());
  stored.Load();
  EXPECT_EQ(stored.Password, "pass");
  EXPECT_EQ(stored.RtspPort, 8554);

  w.btn2->click();
  EXPECT_TRUE(w.btnStart->isEnabled());
  EXPECT_FALSE(w.tmr1->isActive());
  EXPECT_EQ(w.lblStatus->text(), U("连接中...")) << "the stop keeps the status line";
  EXPECT_EQ(rig.sender.closes, 1);
}

// The delay box is editable: a delay above the bound is refused before
// anything is stored or connected.
TEST(MainWindow, DelayAboveTheBoundIsRefusedAtStart) {
  Rig rig;
  TTidecastMain& w = *rig.window;
  w.cbxDelay->setEditText("601");
  w.btnStart->click();
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.boxes[0].text, U("延时 601 秒超过上限 600 秒，请输入 0 到 600 之间的秒数"));
  EXPECT_TRUE(rig.capturer.calls.empty()) << "the device was connected";
  EXPECT_TRUE(w.btnStart->isEnabled());
  TConfig stored(rig.config.Location());
  stored.Load();
  EXPECT_NE(stored.BufferTime, 601) << "the refused delay was stored";
  w.cbxDelay->setEditText("600");
  w.btnStart->click();
  EXPECT_EQ(rig.boxes.size(), 1u);
  EXPECT_FALSE(rig.capturer.calls.empty());
  w.btn2->click();
}

// A device that accepts and never answers: the stop button ends the start
// while it still connects (the device is cancelled, no box, start again).
TEST(MainWindow, StopButtonEndsTheDevicePhaseOfAStart) {
  Rig rig;
  TTidecastMain& w = *rig.window;
  rig.capturer.onConnect = [&] {  // the real capturer's Connect returns failed soon after a cancel
    for (int i = 0; i < 1000 && rig.capturer.connectCancels.load() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    rig.capturer.connectResult = rig.capturer.connectCancels.load() > 0 ? -16 : 0;
  };
  QTimer::singleShot(200, &w, [&] { w.btn2->click(); });
  w.btnStart->click();
  EXPECT_GT(rig.capturer.connectCancels.load(), 0) << "the stop button did not reach the device";
  EXPECT_TRUE(rig.boxes.empty());
  EXPECT_TRUE(rig.sender.urls.empty()) << "the start went on to the server";
  EXPECT_TRUE(w.btnStart->isEnabled());
}

TEST(MainWindow, FailedStartsShowTheirBoxes) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {1, "连接录播主机出错, ret=1， 请检查录播是否开机，网络是否通"},
      {2, "连接RTMP服务出错, ret=2， 请检查网络是否通，RTMP服务主机是否开启"},
      {3, "Failed, ret=3"},
      {4, "Failed, ret=4"},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.capturer.connectResult = c.code == 1 ? -1 : 0;
    rig.sender.openResult = c.code == 2 ? -4 : 0;
    rig.sender.headerResult = c.code == 3 ? -8 : 0;
    rig.capturer.startResult = c.code == 4 ? -1 : 0;
    rig.window->btnStart->click();
    SCOPED_TRACE(c.code);
    ASSERT_EQ(rig.boxes.size(), 1u);
    EXPECT_EQ(rig.boxes[0].text, U(c.text));
    EXPECT_EQ(rig.boxes[0].caption, U("错误"));
    EXPECT_TRUE(rig.boxes[0].owned);
    EXPECT_EQ(rig.window->lblStatus->text(), U("连接失败."));
    EXPECT_TRUE(rig.window->btnStart->isEnabled());
    EXPECT_FALSE(rig.window->tmr1->isActive());
  }
}

TEST(MainWindow, BadRtspPortEndsTheStartBeforeAnythingConnects) {
  Rig rig;
  rig.window->edtPort->setText("55a");
  rig.window->btnStart->click();
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_NE(rig.boxes[0].text.indexOf("55a"), -1) << rig.boxes[0].text.toStdString();
  EXPECT_EQ(rig.boxes[0].caption, U("错误"));
  EXPECT_TRUE(rig.capturer.calls.empty());
  EXPECT_TRUE(rig.sender.urls.empty());
  EXPECT_EQ(rig.window->lblStatus->text(), U("连接中..."));
  TConfig stored(rig.config.Location());
  stored.Load();
  EXPECT_EQ(stored.RtspPort, 554) << "saved before the conversion, with its fallback";
  EXPECT_TRUE(rig.window->btnStart->isEnabled());
}

TEST(MainWindow, SettingsThatCannotBeSavedEndTheStart) {
  Rig rig;
  testsupport::TTempDir blocked{"tidecast-window"};
  std::ofstream(blocked.File("file")) << "x";
  TConfig unwritable(blocked.File("file") + "/Orvane/Tidecast.reg");
  TTidecastMain w(unwritable, rig.sender, rig.capturer,
                  [&] { return std::make_unique<TFakeDelayBuffer>(rig.bufferLog); });
  std::vector<QString> texts;
  w.ErrorBox = [&](QWidget*, const QString& text, const QString& caption) {
    texts.push_back(text);
    EXPECT_EQ(caption, U("错误"));
  };
  w.btnStart->click();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].indexOf(QString::fromStdString(blocked.File("file"))), -1) << texts[0].toStdString();
  EXPECT_TRUE(rig.capturer.calls.empty());
  EXPECT_EQ(w.lblStatus->text(), "") << "the status line did not change";
}

TEST(MainWindow, WorkerErrorReportsBecomeBoxesOnTheMainThread) {
  Rig rig;
  std::thread worker([] { ReportError("Exception", "TBufferWorker class raise an excepton: \rboom"); });
  worker.join();
  EXPECT_TRUE(rig.boxes.empty()) << "the report must not show a box on the worker thread";
  QCoreApplication::processEvents();
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.boxes[0].caption, "Exception");
  EXPECT_EQ(rig.boxes[0].text, "TBufferWorker class raise an excepton: \rboom");
  EXPECT_TRUE(rig.boxes[0].onMainThread);
  EXPECT_FALSE(rig.boxes[0].owned) << "a worker's box has no owner window";
}

TEST(MainWindow, ClicksDuringTheStopWaitDoNotStopTwice) {
  Rig rig;
  rig.config.BufferTime = 5;
  rig.window->cbxDelay->setEditText("5");
  rig.window->btnStart->click();
  ASSERT_EQ(rig.window->Controller().State(), TPushController::TState::Running);
  // Queued now, handled by the stop's own message processing.
  QTimer::singleShot(0, rig.window.get(), [&] { rig.window->btn2Click(); });
  QTimer::singleShot(0, rig.window.get(), [&] { rig.window->btnStartClick(); });
  rig.window->btn2->click();
  EXPECT_EQ(rig.bufferLog.stops, 1);
  EXPECT_EQ(rig.bufferLog.destroyed, 1);
  EXPECT_EQ(rig.sender.closes, 1);
  EXPECT_EQ(rig.capturer.calls.size(), 4u) << "Connect, StartCapture, StopCapture, Disconnect only";
  EXPECT_TRUE(rig.window->btnStart->isEnabled());
}

TEST(MainWindow, DestroyingTheWindowStopsThePush) {
  Rig rig;
  rig.window->btnStart->click();
  ASSERT_EQ(rig.sender.closes, 0);
  rig.window.reset();
  EXPECT_EQ(rig.sender.closes, 1);
  EXPECT_EQ(rig.capturer.calls.back(), "Disconnect");
}

// A launching program's start: the form shows the parameters, the settings
// stay as stored, and the result goes out as one line on standard output.
TEST(LaunchMode, FillsTheFormStartsHiddenAndReportsTheResult) {
  Rig rig;
  rig.config.StreamType = 1;
  rig.config.HttpPort = 8080;
  rig.config.BufferTime = 60;
  rig.config.Save();
  std::string before = testsupport::ReadWholeFile(rig.config.Location());
  testing::internal::CaptureStdout();
  rig.Create({"ID=3&id=4&Address=10.1.2.3&User=admin&Password=&isHD=-1&RtspPort=abc&junk&isIPC=256",
              "rtmp://10.0.0.2/hls/room3"});
  std::string out = CapturedLauncherLines();
  TTidecastMain& w = *rig.window;

  EXPECT_EQ(out, "TIDECAST_START_RESULT id=3 result=0\nTIDECAST_STATE id=3 state=running\n");
  EXPECT_EQ(w.LaunchResult(), 0);
  EXPECT_EQ(w.windowTitle(), "TidecastMain-3");
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), "TidecastMain-3") << "nothing appended to the caption";
  EXPECT_FALSE(w.ShowOnStart());
  EXPECT_EQ(w.FInstanceId, 3);
  EXPECT_EQ(w.FNotifyWindow, 0);
  ASSERT_FALSE(rig.capturer.calls.empty());
  EXPECT_EQ(rig.capturer.calls[0], "Connect 10.1.2.3  554 80 HD") << "isHD -1 asks for the high stream";
  EXPECT_EQ(rig.capturer.lastUser, "admin");
  EXPECT_EQ(rig.capturer.lastIpc, 0) << "the lowest 8 bits of isIPC";
  EXPECT_EQ(rig.sender.urls.at(0), "rtmp://10.0.0.2/hls/room3");
  EXPECT_FALSE(w.rbHD->isChecked()) << "isHD -1 is not above 0";
  EXPECT_FALSE(w.rbSD->isChecked()) << "left as the stored settings put it";
  EXPECT_EQ(w.edtAddress->text(), "10.1.2.3");
  EXPECT_EQ(w.edtPort->text(), "554");
  EXPECT_EQ(w.edtRtmp->text(), "rtmp://10.0.0.2/hls/room3");
  EXPECT_EQ(w.edtHttp->text(), "80") << "every field from the parameters: a Stop then Start logs on at the same port";
  EXPECT_EQ(w.cbxDelay->currentText(), "60");
  EXPECT_EQ(rig.bufferLog.created, 1) << "the stored delay holds the stream";
  EXPECT_EQ(rig.bufferLog.delay, 60000u);
  EXPECT_TRUE(w.tmr1->isActive());

  w.btn2->click();
  EXPECT_EQ(testsupport::ReadWholeFile(rig.config.Location()), before) << "launch mode saves nothing";
}

TEST(LaunchMode, FailedStartShowsNothingAndInstanceZeroShowsTheWindow) {
  Rig rig;
  rig.capturer.connectResult = -1;
  testing::internal::CaptureStdout();
  rig.Create({"Address=10.9.9.9&isHD=0&isIPC=1&HttpPort=81&RtspPort=+8554", "rtmp://10.0.0.2/hls/x"});
  EXPECT_EQ(CapturedLauncherLines(),
            "TIDECAST_START_RESULT id=0 result=1\nTIDECAST_STATE id=0 state=failed reason=start_result_1\n");
  TTidecastMain& w = *rig.window;
  EXPECT_EQ(w.LaunchResult(), 1);
  EXPECT_TRUE(rig.boxes.empty()) << "no error box in launch mode";
  EXPECT_EQ(w.lblStatus->text(), "");
  EXPECT_TRUE(w.ShowOnStart());
  EXPECT_EQ(w.windowTitle(), "TidecastMain-0");
  EXPECT_EQ(rig.capturer.calls.at(0), "Connect 10.9.9.9  8554 81 SD");
  EXPECT_EQ(rig.capturer.lastIpc, 1);
  EXPECT_TRUE(rig.sender.urls.empty());
  EXPECT_TRUE(w.btnStart->isEnabled());
}

// BufferTime gives one room its own delay; the stored one stays for the
// others, and the operator's next start from the window takes the window's.
TEST(LaunchMode, BufferTimeDelaysThisInstanceOnly) {
  Rig rig;
  rig.config.BufferTime = 60;
  rig.config.Save();
  std::string before = testsupport::ReadWholeFile(rig.config.Location());
  testing::internal::CaptureStdout();
  rig.Create({"id=4&BufferTime=5", "rtmp://10.0.0.2/hls/room4"});
  EXPECT_EQ(CapturedLauncherLines(),
            "TIDECAST_START_RESULT id=4 result=0\nTIDECAST_STATE id=4 state=running\n");
  EXPECT_EQ(rig.bufferLog.created, 1);
  EXPECT_EQ(rig.bufferLog.delay, 5000u);
  EXPECT_EQ(rig.window->cbxDelay->currentText(), "60") << "the window shows the stored delay";
  rig.window.reset();
  EXPECT_EQ(testsupport::ReadWholeFile(rig.config.Location()), before);

  testing::internal::CaptureStdout();
  rig.Create({"id=5&BufferTime=0", "rtmp://10.0.0.2/hls/room5"});
  CapturedLauncherLines();
  EXPECT_EQ(rig.bufferLog.created, 1) << "BufferTime=0 pushes without a delay";
}

// A camera's codecs on the launcher's lines: sound the push goes without is
// named on the running line, video it cannot carry on the failed line.
TEST(LaunchMode, CodecsThePushCannotCarryAreNamedOnTheLines) {
  Rig rig;
  rig.capturer.info.AudioSampleRate = 0;
  rig.capturer.info.UnsupportedAudioCodec = "opus";
  testing::internal::CaptureStdout();
  rig.Create({"id=6", "rtmp://10.0.0.2/hls/room6"});
  rig.window->btn2->click();
  EXPECT_EQ(CapturedLauncherLines(), "TIDECAST_START_RESULT id=6 result=0\n"
                                     "TIDECAST_STATE id=6 state=running audio=none reason=unsupported_audio codec=opus\n"
                                     "TIDECAST_STATE id=6 state=stopped\n");

  rig.capturer.info.VideoCodec = "mjpeg";
  rig.capturer.connectResult = -17;
  testing::internal::CaptureStdout();
  rig.Create({"id=6", "rtmp://10.0.0.2/hls/room6"});
  EXPECT_EQ(CapturedLauncherLines(), "TIDECAST_START_RESULT id=6 result=1\n"
                                     "TIDECAST_STATE id=6 state=failed reason=unsupported_video codec=mjpeg\n");
  EXPECT_EQ(rig.sender.urls.size(), 1u) << "no server opened for video that cannot be carried";
}

TEST(LaunchMode, OneArgumentStartsInteractively) {
  testing::internal::CaptureStdout();
  Rig rig({"Address=10.1.2.3&id=5"});
  EXPECT_EQ(CapturedLauncherLines(), "");
  EXPECT_EQ(rig.window->LaunchResult(), -1);
  EXPECT_TRUE(rig.window->ShowOnStart());
  EXPECT_EQ(rig.window->windowTitle(), U(TTidecastMain::Caption));
  EXPECT_TRUE(rig.capturer.calls.empty());
  EXPECT_EQ(rig.window->edtAddress->text(), U(TConfig::DefaultAddress));
}

// The one-second display: rates from the interval counters (which it
// zeroes), the countdown while the configured delay fills, the elapsed time.
TEST(StatusDisplay, TimerShowsTheIntervalAndStartsItAfresh) {
  Rig rig;
  rig.window->cbxDelay->setEditText("30");
  rig.window->btnStart->click();
  TTidecastMain& w = *rig.window;
  TPushController& c = w.Controller();
  c.FRecvBytes = 1000;
  c.FVideoBits = 1990000;
  c.FVideoFrames = 25;
  c.FSentBytes = 500;
  QLocale::setDefault(QLocale(QLocale::German));
  w.tmr1Timer();
  QLocale::setDefault(QLocale::c());
  QString status = w.lblStatus->text();
  EXPECT_TRUE(status.startsWith(U("接收码流: 8,00Kbps\n     (视频: 1,99Mbps, 25fps  音频: 0bps, 0fps)\n发送码流：缓冲中...")))
      << status.toStdString();
  int left = status.section(U("缓冲中..."), 1).toInt();
  EXPECT_TRUE(left >= 25 && left <= 30) << left;
  EXPECT_TRUE(w.lblTime->text().startsWith("00:00:0")) << w.lblTime->text().toStdString();
  for (std::atomic<int32_t>* counter :
       {&c.FVideoFrames, &c.FAudioFrames, &c.FSentBytes, &c.FRecvBytes, &c.FVideoBits, &c.FAudioBits})
    EXPECT_EQ(counter->load(), 0);

  rig.config.BufferTime = 0;  // past the delay: the sent rate
  c.FSentBytes = 250000;
  w.tmr1Timer();
  EXPECT_TRUE(w.lblStatus->text().endsWith(U("发送码流：2.00Mbps"))) << w.lblStatus->text().toStdString();
  EXPECT_EQ(w.lblVersion->text(), QString("V") + TIDECAST_TEST_VERSION);
  w.grab().save(QString::fromStdString(testsupport::BuildDir() + "/tests/TidecastMainStreaming.png"));
  w.btn2->click();
}

// A server that refuses media: the supervisor makes the connection again, the
// status area says so instead of a box, and the kept key frame goes out again
// on the new connection with its time.
TEST(StatusDisplay, ALostServerShowsTheReconnectAndNoBox) {
  Rig rig;
  TTidecastMain& w = *rig.window;
  w.btnStart->click();
  TPushController& c = w.Controller();
  auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 100 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return done();
  };
  std::vector<uint8_t> key(200, 0x65);
  key[3] = 1;
  rig.sender.mediaResult = false;
  rig.capturer.Deliver(4, 2, key, 90000);
  ASSERT_TRUE(waitFor([&] { return c.LinkState() == TLinkState::Reconnecting; }));
  w.tmr1Timer();
  QString last = w.lblStatus->text().section('\n', -1);
  EXPECT_TRUE(last.startsWith(U("正在重连，第1次"))) << last.toStdString();

  rig.sender.mediaResult = true;
  ASSERT_TRUE(waitFor([&] { return c.LinkState() == TLinkState::Running; }));
  EXPECT_EQ(rig.sender.urls.size(), 2u);
  EXPECT_EQ(rig.sender.HeaderCount(), 2u);
  std::vector<fakes::TSent> sent = rig.sender.Sent();
  ASSERT_EQ(sent.size(), 2u) << "refused once, then re-sent";
  EXPECT_TRUE(sent[1].isKey);
  EXPECT_EQ(sent[1].timeMs, sent[0].timeMs);
  w.tmr1Timer();
  EXPECT_TRUE(w.lblStatus->text().section('\n', -1).startsWith(U("发送码流："))) << w.lblStatus->text().toStdString();
  EXPECT_TRUE(rig.boxes.empty()) << "no box while it reconnects by itself";
  w.btn2->click();
}
