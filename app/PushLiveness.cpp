#include "PushLiveness.h"

bool TPushLiveness::Alive(const TPushProgress& p, TClock::time_point now) {
  if (!started_ || p.SupervisorBeats != last_.SupervisorBeats) supervisionMoved_ = now;
  // Media counts only while it is expected; the time without it begins
  // when it is expected again.
  bool mediaNewlyExpected = !started_ || (p.MediaExpected && !last_.MediaExpected);
  if (mediaNewlyExpected || !p.MediaExpected || p.IntakeBytes != last_.IntakeBytes) intakeMoved_ = now;
  // Nothing sent yet (the delay still fills) is no stall of the send path.
  if (mediaNewlyExpected || !p.MediaExpected || p.SentBytes == 0 || p.SentBytes != last_.SentBytes) sendMoved_ = now;
  started_ = true;
  last_ = p;
  return now - supervisionMoved_ <= tolerance_ && now - intakeMoved_ <= tolerance_ && now - sendMoved_ <= tolerance_;
}
