#include "TidecastMains.h"

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <atomic>
#include <stdexcept>

#include "Debugs.h"
#include "ErrorReports.h"
#include "SettingsKeys.h"
#include "StatusDisplays.h"
#include "TextConversions.h"

#ifndef TIDECAST_VERSION
#define TIDECAST_VERSION ""
#endif

namespace {

// The window's only instance, for worker-thread error reports.
std::atomic<TTidecastMain*> mainWindow{nullptr};

// A text the operator typed that the start cannot use.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

QFont PixelFont(const QString& family, int pixels) {
  QFont font(family);
  font.setPixelSize(pixels);
  return font;
}

void SetTextColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  widget->setPalette(palette);
}

std::string Std(const QString& text) { return text.toStdString(); }

QString Qs(const std::string& text) { return QString::fromStdString(text); }

// The CJK family fontconfig has: WenQuanYi Micro Hei first, else any family
// that writes Simplified Chinese.
QString FindCjkFamily() {
  const QStringList families = QFontDatabase::families();
  for (const char* preferred : {"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Droid Sans Fallback"})
    if (families.contains(QString::fromUtf8(preferred))) return QString::fromUtf8(preferred);
  const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
  return chinese.isEmpty() ? QString() : chinese.first();
}

}  // namespace

void ShowErrorBox(QWidget* owner, const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, owner);
  box.exec();
}

QString InstallFontSubstitutions() {
  QString cjk = FindCjkFamily();
  if (cjk.isEmpty()) return cjk;
  for (const char* designName : {"MS Sans Serif", "微软雅黑", "宋体"})
    QFont::insertSubstitution(QString::fromUtf8(designName), cjk);
  return cjk;
}

TTidecastMain::TTidecastMain(TConfig& config, TSender& sender, TCaptureDevice& capturer,
                             TDelayBufferFactory makeDelayBuffer, std::vector<std::string> arguments,
                             QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                  Qt::WindowCloseButtonHint),
      FConfig(config),
      FArguments(std::move(arguments)) {
  InstallFontSubstitutions();
  setObjectName("TidecastMain");
  setWindowTitle(QString::fromUtf8(Caption));
  setFont(PixelFont("MS Sans Serif", 11));  // pixel heights: not scaled with the system font size
  resize(503, 361);  // the client area of a 519 x 399 window with a Windows-style frame
  CreateControls();
  SetTabOrder();
  CentreOnDesktop();

  // The capturer is the window's for the program's life; the controller
  // binds its sample event once, here.
  FController = std::make_unique<TPushController>(sender, capturer, FConfig, std::move(makeDelayBuffer));
  FController->OnProcessMessages = [] { QCoreApplication::processEvents(); };
  FController->OnStateChanged = [this](TPushController::TState state) { ShowPushState(state); };

  mainWindow = this;
  SetErrorReportHandler(QueueErrorReport);
  FormCreate();
}

TTidecastMain::~TTidecastMain() {
  FormDestroy();
  SetErrorReportHandler(nullptr);
  mainWindow = nullptr;
}

void TTidecastMain::CreateControls() {
  auto label = [this](const char* name, const char* text, int x, int y, int w, int h, bool right) {
    auto* l = new QLabel(QString::fromUtf8(text), this);
    l->setObjectName(name);
    l->setGeometry(x, y, w, h);
    l->setAlignment(right ? Qt::AlignRight | Qt::AlignTop : Qt::AlignLeft | Qt::AlignTop);
    return l;
  };
  auto edit = [this](const char* name, const QString& text, int x, int y, int w, int h) {
    auto* e = new QLineEdit(text, this);
    e->setObjectName(name);
    e->setGeometry(x, y, w, h);
    return e;
  };
  auto button = [this](const char* name, const char* text, int x, int y) {
    auto* b = new QPushButton(QString::fromUtf8(text), this);
    b->setObjectName(name);
    b->setGeometry(x, y, 89, 33);
    b->setFont(PixelFont("MS Sans Serif", 13));
    return b;
  };

  // The frame first, so that the controls it surrounds lie above it.
  Bevel1 = new QFrame(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setGeometry(24, 24, 457, 145);
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);

  btnStart = button("btnStart", "开始(&S)", 128, 312);
  btn2 = button("btn2", "停止(&T)", 240, 312);
  edtAddress = edit("edtAddress", QString::fromUtf8(TConfig::DefaultAddress), 120, 40, 130, 21);
  edtUser = edit("edtUser", "admin", 120, 72, 130, 21);
  edtPassword = edit("edtPassword", "", 120, 104, 130, 21);
  edtPassword->setEchoMode(QLineEdit::Password);
  edtPassword->setStyleSheet("lineedit-password-character: 42");  // every character shown as "*"
  edtRtmp = edit("edtRtmp", QString::fromUtf8(TConfig::DefaultRtmpUrl), 120, 184, 361, 21);
  lbl1 = label("lbl1", "主机地址", 48, 43, 63, 13, true);
  lbl2 = label("lbl2", "用户名", 32, 78, 79, 13, true);
  lbl3 = label("lbl3", "密   码", 28, 109, 79, 13, true);
  lbl4 = label("lbl4", "RTMP推流地址:", 16, 188, 97, 13, true);

  lblStatus = label("lblStatus", "", 120, 216, 361, 73, false);
  lblStatus->setFont(PixelFont("微软雅黑", 14));
  SetTextColour(lblStatus, QColor(255, 0, 0));
  lblStatus->setWordWrap(true);

  tmr1 = new QTimer(this);
  tmr1->setObjectName("tmr1");
  tmr1->setInterval(1000);
  connect(tmr1, &QTimer::timeout, this, &TTidecastMain::tmr1Timer);

  lblTime = label("lblTime", "00:00:00", 24, 228, 89, 25, false);
  lblTime->setFont(PixelFont("宋体", 19));
  SetTextColour(lblTime, QColor(128, 128, 128));

  edtPort = edit("edtPort", "554", 384, 40, 45, 21);
  lbl5 = label("lbl5", "RTSP端口", 314, 43, 57, 13, true);
  edtHttp = edit("edtHttp", "80", 384, 72, 45, 21);
  lblHttp = label("lblHttp", "HTTP端口", 315, 75, 57, 13, true);

  Label1 = label("Label1", "录播K/KR系列", 40, 19, 89, 22, false);
  Label1->setAutoFillBackground(true);  // the title interrupts the frame's line

  rbSD = new QRadioButton(QString::fromUtf8("低码流"), this);
  rbSD->setObjectName("rbSD");
  rbSD->setGeometry(312, 104, 73, 17);
  rbSD->setChecked(true);
  rbHD = new QRadioButton(QString::fromUtf8("高码流"), this);
  rbHD->setObjectName("rbHD");
  rbHD->setGeometry(384, 104, 73, 17);
  rbHD->setEnabled(false);  // selected only from the stored settings or a launch parameter

  lblVersion = label("lblVersion", "V1.5.0.0", 432, 331, 48, 13, false);
  SetTextColour(lblVersion, QColor(128, 128, 128));
  Label2 = label("Label2", "延时多少秒", 32, 141, 81, 13, true);

  cbxDelay = new QComboBox(this);
  cbxDelay->setObjectName("cbxDelay");
  cbxDelay->setGeometry(120, 136, 65, 21);
  cbxDelay->setEditable(true);
  cbxDelay->setCompleter(nullptr);  // no auto-completion: any number may be typed
  cbxDelay->setInsertPolicy(QComboBox::NoInsert);
  cbxDelay->addItems({"30", "60", "120", "180", "240", "300"});
  cbxDelay->setCurrentIndex(-1);
  cbxDelay->setEditText("0");

  connect(btnStart, &QPushButton::clicked, this, &TTidecastMain::btnStartClick);
  connect(btn2, &QPushButton::clicked, this, &TTidecastMain::btn2Click);
}

void TTidecastMain::SetTabOrder() {
  QWidget* order[] = {edtAddress, edtUser, edtPassword, edtRtmp, edtPort, edtHttp,
                      btnStart,   btn2,    rbSD,        rbHD,    cbxDelay};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

void TTidecastMain::CentreOnDesktop() {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect desktop = screen->availableGeometry();
    move(desktop.center() - QPoint(width() / 2, height() / 2));
  }
}

void TTidecastMain::FormCreate() {
  QGuiApplication::setApplicationDisplayName(windowTitle());
  lblVersion->setText(Qs(VersionLabel(TIDECAST_VERSION)));
  ConfigToForm();
  // The capturer's sample event is bound by the controller (constructor).
  if (IsLaunchMode(FArguments))
    RunLaunchMode(ParseLaunchParams(FArguments[0], std::vector<std::string>(FArguments.begin() + 1, FArguments.end())));
}

// A launching program's start: the window stays hidden unless the instance
// id is 0, the settings are neither changed nor saved (the delay is the
// stored one unless the launch parameter BufferTime gives this instance its
// own, in memory only), and a failed start shows no box: the launching
// program learns the code from the result report.
void TTidecastMain::RunLaunchMode(const TLaunchParams& params) {
  FShowOnStart = params.ShowsWindow();
  FNotifyWindow = static_cast<intptr_t>(params.hwndFrom);
  FInstanceId = params.id;
  FLaunchMode = true;
  // A launcher finds its instance by the exact caption; the window system's
  // title gets the application's display name appended unless the caption
  // already ends with it.
  setWindowTitle(Qs(params.Caption()));
  QGuiApplication::setApplicationDisplayName(windowTitle());
  ParamsToForm(params);
  // Nobody sees a box of a hidden instance: it goes to the launcher instead.
  if (!FShowOnStart) ErrorBox = [this](QWidget*, const QString& text, const QString&) { ReportHiddenError(text); };
  FLauncher = std::make_unique<TLaunchRunner>(*FController, FConfig, params);
  FLaunchResult = FLauncher->Start();
}

void TTidecastMain::ReportHiddenError(const QString& text) { FLauncher->ReportHiddenError(Std(text)); }

void TTidecastMain::ParamsToForm(const TLaunchParams& params) {
  edtAddress->setText(Qs(params.Address));
  edtPort->setText(QString::number(params.RtspPort));
  edtHttp->setText(QString::number(params.HttpPort));
  edtUser->setText(Qs(params.User));
  edtPassword->setText(Qs(params.Password));
  edtRtmp->setText(Qs(params.RtmpUrl));
  if (params.isHD > 0)
    SelectStream(false, true);
  else
    SelectStream(rbSD->isChecked(), false);
}

void TTidecastMain::FormDestroy() {
  if (FLauncher) FLauncher->Stop();
  FController->StopPush();
}

void TTidecastMain::ConfigToForm() {
  edtAddress->setText(Qs(FConfig.Address));
  edtPort->setText(QString::number(FConfig.RtspPort));
  edtHttp->setText(QString::number(FConfig.HttpPort));
  edtUser->setText(Qs(FConfig.Username));
  edtPassword->setText(Qs(FConfig.Password));
  edtRtmp->setText(Qs(FConfig.RtmpUrl));
  SelectStream(FConfig.StreamType == 0, FConfig.StreamType == 1);
  cbxDelay->setEditText(QString::number(FConfig.BufferTime));
}

void TTidecastMain::SelectStream(bool sd, bool hd) {
  // Neither button selected is a state one exclusive group cannot show: lift
  // the exclusion while the buttons are set.
  rbSD->setAutoExclusive(false);
  rbHD->setAutoExclusive(false);
  rbSD->setChecked(sd);
  rbHD->setChecked(hd);
  rbSD->setAutoExclusive(true);
  rbHD->setAutoExclusive(true);
}

void TTidecastMain::FormToConfig() {
  FConfig.Address = TrimControls(Std(edtAddress->text()));
  FConfig.Username = TrimControls(Std(edtUser->text()));
  FConfig.Password = TrimControls(Std(edtPassword->text()));
  FConfig.RtmpUrl = TrimControls(Std(edtRtmp->text()));
  FConfig.RtspPort = StrToIntDef(Std(edtPort->text()), 554);
  FConfig.HttpPort = StrToIntDef(Std(edtHttp->text()), 80);
  FConfig.StreamType = rbHD->isChecked() ? 1 : 0;
  FConfig.BufferTime = StrToIntDef(Std(cbxDelay->currentText()), 0);
}

QString TTidecastMain::StartFailureText(int code) {
  switch (code) {
    case 1:
      return QString::fromUtf8("连接录播主机出错, ret=%1， 请检查录播是否开机，网络是否通").arg(code);
    case 2:
      return QString::fromUtf8("连接RTMP服务出错, ret=%1， 请检查网络是否通，RTMP服务主机是否开启").arg(code);
    default:
      return QStringLiteral("Failed, ret=%1").arg(code);
  }
}

QString TTidecastMain::UnsupportedVideoText(const std::string& codec) {
  return QString::fromUtf8("不支持录播主机的视频编码 %1，请将设备设置为H.264或H.265编码").arg(Qs(codec));
}

void TTidecastMain::ShowError(const QString& text) { ErrorBox(this, text, QString::fromUtf8("错误")); }

void TTidecastMain::btnStartClick() {
  // The start processes window messages: a second click, or one while a
  // stop is under way, must not start a second sequence.
  if (FStarting || FController->State() != TPushController::TState::Idle) return;
  FStarting = true;
  FStopDuringStart = false;
  struct TClearFlag {
    bool& flag;
    ~TClearFlag() { flag = false; }
  } clearFlag{FStarting};

  // The settings are stored first, whatever the outcome; an error here ends
  // the start before anything is connected.
  FormToConfig();
  if (std::string refusal = BufferTimeRefusal(FConfig.BufferTime); !refusal.empty()) {
    ShowError(Qs(refusal));  // the delay box is editable: any number can come
    return;
  }
  try {
    FConfig.Save();
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8("设置无法保存: ") + Qs(e.what()));
    return;
  }
  lblStatus->setText(QString::fromUtf8("连接中..."));
  QCoreApplication::processEvents();

  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  int result;
  try {
    int32_t httpPort = StrToIntDef(Std(edtHttp->text()), 80);
    std::string password = Std(edtPassword->text());  // as typed
    std::string url = TrimControls(Std(edtRtmp->text()));
    bool isHD = rbHD->isChecked();
    int32_t rtspPort = 0;
    if (!TryStrToInt(Std(edtPort->text()), rtspPort))
      throw EConvertError("'" + Std(edtPort->text()) + "' is not a valid integer value (RTSP端口)");
    result = FController->StartPush(Std(edtAddress->text()), Std(edtUser->text()), password, url, isHD, 0,
                                    rtspPort, httpPort);
  } catch (const std::exception& e) {
    QGuiApplication::restoreOverrideCursor();
    ShowError(Qs(e.what()));
    return;
  }
  QGuiApplication::restoreOverrideCursor();
  if (result != kStartRunning) {
    lblStatus->setText(QString::fromUtf8("连接失败."));
    if (FStopDuringStart || ProcessStopRequested()) {
      FController->ReleaseLeftovers();  // the operator's stop or a quit signal: no box
      return;
    }
    const std::string& codec = FController->RefusedVideoCodec();
    ShowError(codec.empty() ? StartFailureText(result) : UnsupportedVideoText(codec));
  }
}

void TTidecastMain::btn2Click() {
  if (FStarting) {
    // The start waits for the server (serving the window meanwhile): end it.
    FStopDuringStart = true;
    FController->RequestCancel();
    return;
  }
  // Launch mode's push ends with its lines and state file.
  if (FLauncher) FLauncher->Stop();
  FController->StopPush();
}

void TTidecastMain::tmr1Timer() {
  // Each counter is taken and zeroed in one step, so an addition made by the
  // delivering or worker thread in between is never lost; the interval is one
  // second, so the amounts are shown as per-second rates as they are. The
  // push also relies on the zeroing: the header re-send while holding keys on
  // the first video sample of an interval.
  TPushController& c = *FController;
  auto take = [](std::atomic<int32_t>& counter) { return counter.exchange(0, std::memory_order_relaxed); };
  uint32_t elapsed = SystemTickCount() - c.StartTick();
  TTrafficCounts counts;
  counts.RecvBytes = take(c.FRecvBytes);
  counts.VideoBits = take(c.FVideoBits);
  counts.VideoFrames = take(c.FVideoFrames);
  counts.AudioBits = take(c.FAudioBits);
  counts.AudioFrames = take(c.FAudioFrames);
  counts.SentBytes = take(c.FSentBytes);
  if (c.State() == TPushController::TState::Running && IsHevcHeader(c.Header())) counts.VideoCodec = "H.265";
  std::string separator = Std(QLocale().decimalPoint());
  // The lines are joined by a carriage return each, which Qt's labels draw as
  // nothing: the label gets line feeds to show them as three lines.
  QString lines = Qs(FormatStatusLines(counts, FConfig.BufferTime, elapsed, separator));
  lines.replace(QChar('\r'), QChar('\n'));
  // While the server is away, the last line says how the reconnect stands.
  QString reconnect = ReconnectStatusText();
  if (!reconnect.isEmpty()) lines = lines.left(lines.lastIndexOf(QChar('\n')) + 1) + reconnect;
  lblStatus->setText(lines);
  lblTime->setText(Qs(FormatElapsed(SystemTickCount() - c.StartTick())));
}

QString TTidecastMain::ReconnectStatusText() const {
  switch (FController->LinkState()) {
    case TLinkState::Reconnecting: {
      int32_t left = static_cast<int32_t>(FController->NextAttemptTick() - SystemTickCount());
      return Qs(ReconnectStatusLine(FController->ReconnectAttempt(), left <= 0 ? 0 : (left + 999) / 1000));
    }
    case TLinkState::DeviceLost:
      return Qs(DeviceLostStatusLine());
    default:
      return {};
  }
}

void TTidecastMain::ShowPushState(TPushController::TState state) {
  switch (state) {
    case TPushController::TState::Running:
      tmr1->start();
      btnStart->setEnabled(false);
      break;
    case TPushController::TState::Stopping:
      btnStart->setEnabled(false);  // until the stop has finished
      break;
    case TPushController::TState::Idle:
      tmr1->stop();
      btnStart->setEnabled(true);
      break;
  }
}

void TTidecastMain::QueueErrorReport(const std::string& caption, const std::string& text) {
  // Never blocks the reporting thread: the box is shown by the main thread.
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  QMetaObject::invokeMethod(
      app,
      [caption, text] {
        if (TTidecastMain* window = mainWindow.load())
          window->ErrorBox(nullptr, Qs(text), Qs(caption));
        else
          ShowErrorBox(nullptr, Qs(text), Qs(caption));
      },
      Qt::QueuedConnection);
}
