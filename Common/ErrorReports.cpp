#include "ErrorReports.h"

#include <atomic>

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
  // Not straight to stderr: a media thread may report, and nobody may read it.
  PostStandardErrorLine(caption + ": " + text + "\n");
}
