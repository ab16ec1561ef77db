#include "ErrorReports.h"

#include <atomic>
#include <cstdio>

#include "Debugs.h"

namespace {
std::atomic<TErrorReportHandler> reportHandler{nullptr};
}

void SetErrorReportHandler(TErrorReportHandler handler) { reportHandler.store(handler); }

void ReportError(const std::string& caption, const std::string& text) {
  if (TErrorReportHandler handler = reportHandler.load()) {
    handler(caption, text);
    return;
  }
  DebugLog(caption + ": " + text);
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}
