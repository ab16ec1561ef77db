// The QApplication of a test binary, under Qt's offscreen platform unless
// the environment names another: created before the first test, destroyed
// after the last. Include once per binary.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace testsupport {

class TQtEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "tidecast";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

}  // namespace testsupport
