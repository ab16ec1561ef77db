// devsim: behaves like a recording device on the network (HTTP logon and a
// live RTSP stream) so that Tidecast can be tested and rehearsed without one.
#include <glib-unix.h>
#include <gst/gst.h>

#include <csignal>
#include <cstdio>

#include "LogonServers.h"
#include "RtspStreams.h"
#include "SimulatorOptions.h"

namespace {

gboolean Quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  gst_init(&argc, &argv);
  int exitCode = 0;
  auto options = ParseSimulatorOptions(std::vector<std::string>(argv + 1, argv + argc), exitCode);
  if (!options) return exitCode;

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  int result = 0;
  {
    TLoginKeys keys;
    TLogonServer logon(*options, keys);
    TRtspStreams streams(*options, keys);
    std::string error;
    int httpPort = logon.Listen(error);
    int rtspPort = httpPort != 0 ? streams.Listen(error) : 0;
    if (httpPort == 0 || rtspPort == 0) {
      std::fprintf(stderr, "devsim: %s\n", error.c_str());
      result = 1;
    } else {
      std::printf("devsim ready http=%d rtsp=%d\n", httpPort, rtspPort);
      std::printf("devsim stream: %s\n", TRtspStreams::PipelineDescription(*options).c_str());
      std::fflush(stdout);
      g_unix_signal_add(SIGINT, Quit, loop);
      g_unix_signal_add(SIGTERM, Quit, loop);
      g_main_loop_run(loop);
      std::printf("devsim stopped\n");
    }
  }
  g_main_loop_unref(loop);
  return result;
}
