// Rooms run as a service manager runs them: hidden instances with a state
// file each and the manager's notification socket, seen through
// Tidecast --rooms; and stops that never wait on a launcher that stopped
// reading or on a device that stays silent.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "DeviceSimulator.h"
#include "NginxRtmp.h"
#include "Processes.h"
#include "SilentServers.h"

using namespace testsupport;
using namespace std::chrono;

extern char** environ;

namespace {

// The service manager's side: a datagram socket in the abstract namespace.
struct TNotifySocket {
  int fd = -1;
  std::string name = "@tidecast-test-" + std::to_string(::getpid());
  TNotifySocket() {
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data() + 1, name.size() - 1);
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
      throw std::runtime_error("bind failed");
  }
  ~TNotifySocket() { ::close(fd); }
  // The datagrams that come within the span.
  std::vector<std::string> Receive(milliseconds span) {
    std::vector<std::string> texts;
    auto end = steady_clock::now() + span;
    while (steady_clock::now() < end) {
      timeval wait{0, 50000};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      char buffer[4096];
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) texts.emplace_back(buffer, static_cast<size_t>(n));
    }
    return texts;
  }
  // Receives until a datagram contains `text`; all received so far.
  std::vector<std::string> Until(const std::string& text, seconds timeout) {
    std::vector<std::string> texts;
    auto end = steady_clock::now() + timeout;
    while (steady_clock::now() < end) {
      for (std::string& t : Receive(milliseconds(100))) texts.push_back(t);
      for (const std::string& t : texts)
        if (t.find(text) != std::string::npos) return texts;
    }
    return texts;
  }
};

size_t CountOf(const std::vector<std::string>& texts, const std::string& text) {
  size_t n = 0;
  for (const std::string& t : texts) n += t.find(text) != std::string::npos;
  return n;
}

std::vector<std::string> Environment(const TTempDir& dir, const std::string& stateFile,
                                     std::vector<std::string> extra = {}) {
  extra.insert(extra.end(), {"XDG_CONFIG_HOME=" + dir.Path(), "TIDECAST_STATE_FILE=" + stateFile, "DISPLAY=",
                             "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "TIDECAST_DEBUG=1"});
  return extra;
}

std::string Parameters(const std::string& address, int rtspPort, int httpPort, int id) {
  return "Address=" + address + "&User=admin&Password=admin&isHD=0&RtspPort=" + std::to_string(rtspPort) +
         "&HttpPort=" + std::to_string(httpPort) + "&id=" + std::to_string(id) + "&StatsInterval=1";
}

std::string Program() { return BuildDir() + "/bin/Tidecast"; }

// The value of a key in a state file; "" when absent.
std::string StateValue(const std::string& path, const std::string& key) {
  std::string text = ReadWholeFile(path);
  size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return text.substr(at, text.find('\n', at) - at);
}

bool WaitFor(const std::function<bool()>& done, seconds timeout) {
  for (auto end = steady_clock::now() + timeout; steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(milliseconds(100));
  }
  return done();
}

bool ExitedCleanly(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// SIGTERM; the seconds until the process ended, -1 when it did not within
// 10 s or not with code 0 (a sanitizer's report makes it other).
double SecondsToExit(TChildProcess& process) {
  auto sent = steady_clock::now();
  process.Signal(SIGTERM);
  if (!ExitedCleanly(process.WaitExit(seconds(10)))) return -1;
  return duration<double>(steady_clock::now() - sent).count();
}

// The program with standard output a pipe the test holds (and may leave full).
struct TPipedProgram {
  pid_t pid = -1;
  int readEnd = -1, writeEnd = -1;
  void Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::string& errorLog) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    readEnd = ends[0];
    writeEnd = ends[1];
    Fill();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  // Writes into the pipe until it takes no more.
  void Fill() const {
    int flags = ::fcntl(writeEnd, F_GETFL);
    ::fcntl(writeEnd, F_SETFL, flags | O_NONBLOCK);
    std::string junk(4096, 'x');
    while (::write(writeEnd, junk.data(), junk.size()) > 0) {
    }
    ::fcntl(writeEnd, F_SETFL, flags);
  }
  // Everything the pipe holds now.
  std::string Drain() const {
    std::string text;
    char buffer[65536];
    int flags = ::fcntl(readEnd, F_GETFL);
    ::fcntl(readEnd, F_SETFL, flags | O_NONBLOCK);
    for (ssize_t n; (n = ::read(readEnd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    ::fcntl(readEnd, F_SETFL, flags);
    return text;
  }
  double SecondsToExit() {
    auto sent = steady_clock::now();
    ::kill(pid, SIGTERM);
    for (auto end = sent + seconds(10); steady_clock::now() < end; std::this_thread::sleep_for(milliseconds(10))) {
      int status;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return ExitedCleanly(status) ? duration<double>(steady_clock::now() - sent).count() : -1;
      }
    }
    return -1;
  }
  ~TPipedProgram() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ::close(readEnd);
    ::close(writeEnd);
  }
};

}  // namespace

// Room a pushes under a stand-in service manager; room b's server is absent.
// The manager hears READY, STATUS with the state, WATCHDOG at half its
// time-out and STOPPING; --rooms sees both rooms, then b stale once killed;
// the Prometheus text passes promtool.
TEST(Operations, ServiceManagerAndTheViewOfEveryRoom) {
  // A device each: a client leaving one simulator's shared stream trips
  // the media server's library under ThreadSanitizer.
  TDeviceSimulator device, deviceB;
  device.Start();
  deviceB.Start();
  TNginxRtmp server;
  server.Start();
  TTempDir dir("tidecast-rooms");
  std::filesystem::create_directories(dir.Path() + "/rooms/a");
  const std::string stateA = dir.Path() + "/rooms/a/state", stateB = dir.Path() + "/rooms/b.state";
  TNotifySocket manager;

  TChildProcess roomA, roomB;
  roomA.Start({Program(), Parameters("127.0.0.1", device.RtspPort(), device.HttpPort(), 1), server.PublishUrl("a")},
              dir.File("a.log"),
              Environment(dir, stateA, {"NOTIFY_SOCKET=" + manager.name, "WATCHDOG_USEC=1000000"}));
  roomB.Start({Program(), Parameters("127.0.0.1", deviceB.RtspPort(), deviceB.HttpPort(), 2),
               "rtmp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/hls/b"},
              dir.File("b.log"), Environment(dir, stateB));

  std::vector<std::string> heard = manager.Until("READY=1", seconds(30));
  ASSERT_EQ(CountOf(heard, "READY=1"), 1u) << ReadWholeFile(dir.File("a.log"));
  // Six seconds at 0.5 s a ping: 12 expected, counted with a wide margin.
  std::vector<std::string> window = manager.Receive(milliseconds(6000));
  size_t pings = CountOf(window, "WATCHDOG=1");
  EXPECT_GE(pings, 8u);
  EXPECT_LE(pings, 16u);
  EXPECT_GE(CountOf(window, "STATUS=running, device ok; dest 1 running"), 1u) << "a status every few seconds";
  std::cout << "watchdog pings in 6 s (WATCHDOG_USEC=1 s): " << pings << "\n";

  ASSERT_TRUE(WaitFor([&] { return StateValue(stateB, "state") == "failed"; }, seconds(30)));
  ASSERT_TRUE(WaitFor([&] { return std::stoull("0" + StateValue(stateA, "dest.1.sent_bytes")) > 50000; }, seconds(20)));
  TCommandResult rooms = RunCommand({Program(), "--rooms", dir.Path() + "/rooms"});
  EXPECT_EQ(rooms.exitCode, 0);
  EXPECT_EQ(rooms.output.find("a running device=ok"), 0u) << rooms.output;
  EXPECT_NE(rooms.output.find("\nb failed device=ok"), std::string::npos) << rooms.output;

  TCommandResult metrics = RunCommand({Program(), "--rooms", "--prometheus", dir.Path() + "/rooms"});
  EXPECT_NE(metrics.output.find("tidecast_room_up{room=\"a\"} 1\ntidecast_room_up{room=\"b\"} 0\n"), std::string::npos)
      << metrics.output;
  EXPECT_EQ(metrics.output.find("rtmp"), std::string::npos) << "no URL, no key in the metrics";
  std::ofstream(dir.File("metrics.prom")) << metrics.output;
  TCommandResult lint = RunCommand({"sh", "-c", "promtool check metrics < " + dir.File("metrics.prom")});
  EXPECT_EQ(lint.exitCode, 0) << lint.output << lint.errors;

  roomB.Signal(SIGKILL);
  EXPECT_TRUE(WaitFor(
      [&] {
        return RunCommand({Program(), "--rooms", dir.Path() + "/rooms"}).output.find("\nb stale last=failed") !=
               std::string::npos;
      },
      seconds(15)))
      << "refresh 1 s: stale after 3 s without a new file";

  double stop = SecondsToExit(roomA);
  std::cout << "room a: SIGTERM to exit " << stop << " s\n";
  EXPECT_GE(stop, 0);
  EXPECT_LT(stop, 3.0);
  EXPECT_EQ(CountOf(manager.Receive(milliseconds(200)), "STOPPING=1"), 1u);
  EXPECT_EQ(StateValue(stateA, "state"), "stopped");
}

// A launcher that stops reading standard output: the push goes on, the
// start result and the first state line still come first and in order,
// and a stop with the pipe full again ends the process at once.
TEST(Operations, FullStandardOutputNeverHoldsThePushNorTheStop) {
  TDeviceSimulator device;
  device.Start();
  TNginxRtmp server;
  server.Start();
  TTempDir dir("tidecast-fullpipe");
  const std::string state = dir.File("room.state");
  TPipedProgram program;
  program.Start({Program(), Parameters("127.0.0.1", device.RtspPort(), device.HttpPort(), 7), server.PublishUrl("p")},
                Environment(dir, state), dir.File("errors.log"));
  ASSERT_GT(program.pid, 0);
  auto sent = [&] { return std::stoull("0" + StateValue(state, "dest.1.sent_bytes")); };
  ASSERT_TRUE(WaitFor([&] { return sent() > 50000; }, seconds(30))) << ReadWholeFile(dir.File("errors.log"));
  uint64_t before = sent();
  ASSERT_TRUE(WaitFor([&] { return sent() > before + 50000; }, seconds(10))) << "the push is held up";

  std::string out;
  WaitFor([&] {
    out += program.Drain();
    return out.find("TIDECAST_STATS") != std::string::npos;
  }, seconds(10));
  size_t first = out.find("TIDECAST_");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(out.substr(first, out.find("TIDECAST_STATS") - first),
            "TIDECAST_START_RESULT id=7 result=0\nTIDECAST_STATE id=7 state=running\n");

  program.Fill();
  double stop = program.SecondsToExit();
  std::cout << "full standard output: SIGTERM to exit " << stop << " s\n";
  EXPECT_GE(stop, 0);
  EXPECT_LT(stop, 3.0);
}

// The device phase of a start: a device whose web and RTSP ports accept and
// never answer (logon, then RTSP open), and one that never sends its
// parameter sets (the wait for them). SIGTERM ends each within 3 s.
TEST(Operations, StopDuringTheDevicePhaseOfAStart) {
  TSilentServer web, rtsp;
  TDeviceSimulatorOptions noSets;
  noSets.noSets = true;
  TDeviceSimulator setless(noSets);
  setless.Start();
  struct TCase {
    const char* what;
    int rtspPort, httpPort;
    milliseconds signalAfter;
  } cases[] = {
      {"silent logon and RTSP", rtsp.Port(), web.Port(), milliseconds(1000)},
      {"silent RTSP (no logon)", rtsp.Port(), 0, milliseconds(1000)},
      {"no parameter sets", setless.RtspPort(), setless.HttpPort(), milliseconds(2000)},
  };
  for (const TCase& c : cases) {
    TTempDir dir("tidecast-silent");
    TChildProcess program;
    program.Start({Program(), Parameters("127.0.0.1", c.rtspPort, c.httpPort, 3),
                   "rtmp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/hls/x"},
                  dir.File("program.log"), Environment(dir, dir.File("room.state")));
    std::this_thread::sleep_for(c.signalAfter);
    EXPECT_EQ(StateValue(dir.File("room.state"), "state"), "starting") << c.what << ": still in the device phase";
    double stop = SecondsToExit(program);
    std::cout << c.what << ": SIGTERM " << c.signalAfter.count() << " ms into the start, exit after " << stop
              << " s\n";
    EXPECT_GE(stop, 0) << c.what;
    EXPECT_LT(stop, 3.0) << c.what << "\n" << ReadWholeFile(dir.File("program.log"));
  }
}
