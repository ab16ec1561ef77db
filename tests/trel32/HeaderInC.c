/* The public header compiles as C (its record checks included), so a C
 * program can use the library too. */
#include "trel32.h"

int Trel32HeaderInC(void);

int Trel32HeaderInC(void) {
  static const TRtspMediaInfo info;
  TRtspClientCallback callback = 0;
  return (int)sizeof info + (callback == 0 ? 0 : 1);
}
