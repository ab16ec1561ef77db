// Whether a running push is really alive, for the service manager's
// watchdog: its supervision goes round (the supervising thread's heartbeat)
// and, while media is expected (the link is up), the device's samples come
// in and go out. A push wedged in either stops counting and, after the
// tolerance, is no longer alive; the watchdog pings stop and the service
// manager restarts the room.
#pragma once

#include <chrono>
#include <cstdint>

struct TPushProgress {
  uint64_t SupervisorBeats = 0;
  uint64_t IntakeBytes = 0;  // from the device
  uint64_t SentBytes = 0;    // to the server
  bool MediaExpected = false;  // the link is running (not reconnecting, not device lost)
};

class TPushLiveness {
 public:
  using TClock = std::chrono::steady_clock;
  // Longer than any step the supervision takes in one go (a reconnect's
  // pause and open) and than the device's silence before the supervision
  // restarts it.
  static constexpr std::chrono::seconds kDefaultTolerance{30};

  explicit TPushLiveness(std::chrono::milliseconds tolerance = kDefaultTolerance) : tolerance_(tolerance) {}

  // Takes a reading at `now`; true while everything expected moved within
  // the tolerance. The first reading starts the clocks.
  bool Alive(const TPushProgress& progress, TClock::time_point now);

 private:
  std::chrono::milliseconds tolerance_;
  bool started_ = false;
  TPushProgress last_;
  TClock::time_point supervisionMoved_{}, intakeMoved_{}, sendMoved_{};
};
