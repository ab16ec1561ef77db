#include "BufferWorkerAdapters.h"

TDelayBufferFactory BufferWorkerFactory(TTickSource ticks) {
  return [ticks] { return std::make_unique<TBufferWorkerAdapter>(ticks); };
}
