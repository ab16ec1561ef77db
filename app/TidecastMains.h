// The program's only window: the connection settings, the start and stop
// buttons and the status lines. It is a view: the push itself is run by the
// plain C++ TPushController it owns, and the window forwards its buttons to
// it and shows what it reports.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Configs.h"
#include "LaunchModes.h"
#include "LaunchRunners.h"
#include "PushControllers.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;

// A modal message box with the error icon and a single OK button.
void ShowErrorBox(QWidget* owner, const QString& text, const QString& caption);

// Maps the design's font names ("MS Sans Serif", "微软雅黑", "宋体"), which
// do not exist here, to the installed CJK font, so that Chinese captions get
// Chinese glyph shapes. Returns the family used (empty when none is found).
QString InstallFontSubstitutions();

class TTidecastMain : public QWidget {
  Q_OBJECT

 public:
  // The window keeps `config` and `capturer` (both outlive it) and owns the
  // push controller. Runs FormCreate; `arguments` are the command line's
  // (without the program name): two or more start launch mode there.
  TTidecastMain(TConfig& config, TSender& sender, TCaptureDevice& capturer,
                TDelayBufferFactory makeDelayBuffer, std::vector<std::string> arguments = {},
                QWidget* parent = nullptr);
  // Runs FormDestroy.
  ~TTidecastMain() override;

  static constexpr const char* Caption = "Orvane云直播推流工具";
  // The text of the error box after a failed start with this code.
  static QString StartFailureText(int code);
  // The error box of a start refused for the device's video codec.
  static QString UnsupportedVideoText(const std::string& codec);

  // Controls, by their design names, in declaration order.
  QPushButton* btnStart;
  QPushButton* btn2;
  QLineEdit* edtAddress;
  QLineEdit* edtUser;
  QLineEdit* edtPassword;
  QLineEdit* edtRtmp;
  QLabel* lbl1;
  QLabel* lbl2;
  QLabel* lbl3;
  QLabel* lbl4;
  QLabel* lblStatus;
  QTimer* tmr1;
  QLabel* lblTime;
  QLineEdit* edtPort;
  QLabel* lbl5;
  QLineEdit* edtHttp;
  QLabel* lblHttp;
  QFrame* Bevel1;
  QLabel* Label1;
  QRadioButton* rbSD;
  QRadioButton* rbHD;
  QLabel* lblVersion;
  QLabel* Label2;
  QComboBox* cbxDelay;

  // Launch parameters hwndFrom and id; 0 when absent.
  intptr_t FNotifyWindow = 0;
  int32_t FInstanceId = 0;

  TPushController& Controller() { return *FController; }

  // False when launch mode keeps the window hidden (an instance id other
  // than 0): the entry shows the window only when this is true.
  bool ShowOnStart() const { return FShowOnStart; }
  // The start result of launch mode; -1 when the window started interactively.
  int LaunchResult() const { return FLaunchResult; }

  // How error boxes appear: a modal box by default; tests record them.
  std::function<void(QWidget* owner, const QString& text, const QString& caption)> ErrorBox = ShowErrorBox;

  void FormCreate();
  void FormDestroy();
  void btnStartClick();
  void btn2Click();
  void tmr1Timer();
  void ConfigToForm();
  void FormToConfig();

 private:
  void CreateControls();
  void SetTabOrder();
  void CentreOnDesktop();
  void ShowPushState(TPushController::TState state);
  void ShowError(const QString& text);
  void RunLaunchMode(const TLaunchParams& params);
  void ReportHiddenError(const QString& text);
  QString ReconnectStatusText() const;
  void ParamsToForm(const TLaunchParams& params);
  // Selects one of the stream buttons, or neither (both false).
  void SelectStream(bool sd, bool hd);
  // A worker thread's error report, shown as a box on the main thread.
  static void QueueErrorReport(const std::string& caption, const std::string& text);

  TConfig& FConfig;
  const std::vector<std::string> FArguments;
  std::unique_ptr<TPushController> FController;
  // Launch mode's start, lines, state file and stop (the same as a hidden
  // instance runs without a window).
  std::unique_ptr<TLaunchRunner> FLauncher;
  bool FShowOnStart = true;
  int FLaunchResult = -1;
  bool FStarting = false;  // btnStartClick is under way (it processes messages)
  bool FStopDuringStart = false;  // the stop button was pressed while starting
  bool FLaunchMode = false;
};
