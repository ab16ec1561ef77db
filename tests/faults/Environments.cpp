// What the program sets up once per process, before its window: Qt and the
// RTSP client library.
#include <gtest/gtest.h>

#include "QtApplications.h"
#include "WindowRigs.h"

namespace {
const auto* const qtEnvironment = testing::AddGlobalTestEnvironment(new testsupport::TQtEnvironment);
const auto* const libraryEnvironment = testing::AddGlobalTestEnvironment(new testsupport::TTrel32Environment);
}  // namespace
