// Error reports from any thread. Where the system would show a modal error
// box, it calls ReportError instead: the call never blocks a media thread on
// a dialog. In the program a handler queues the box to the main thread; in a
// library (and by default) the report goes to the trace and to standard error.
#pragma once

#include <string>

using TErrorReportHandler = void (*)(const std::string& caption, const std::string& text);

// Installs the process's handler (nullptr restores the default). The handler
// may be called on any thread and must return promptly.
void SetErrorReportHandler(TErrorReportHandler handler);

void ReportError(const std::string& caption, const std::string& text);
