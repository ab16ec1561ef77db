#include "GbkTexts.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace {

// Bytes of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

class TIconv {
 public:
  TIconv(const char* to, const char* from) : handle_(iconv_open(to, from)) {
    if (handle_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert to GBK");
  }
  ~TIconv() { iconv_close(handle_); }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  iconv_t Get() const { return handle_; }

 private:
  iconv_t handle_;
};

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) {
  TIconv converter("CP936", "UTF-8");
  std::string out;
  char buffer[256];
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  while (inLeft > 0) {
    char* outPos = buffer;
    size_t outLeft = sizeof buffer;
    size_t result = iconv(converter.Get(), &in, &inLeft, &outPos, &outLeft);
    out.append(buffer, static_cast<size_t>(outPos - buffer));
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // Not representable or not UTF-8: one "?" for the whole sequence.
    size_t skip = std::min(Utf8SequenceLength(static_cast<unsigned char>(*in)), inLeft);
    out.push_back('?');
    in += skip;
    inLeft -= skip;
    iconv(converter.Get(), nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

size_t NextGbkCharacter(std::string_view gbk, size_t position) {
  if (position >= gbk.size()) return gbk.size();
  auto lead = static_cast<unsigned char>(gbk[position]);
  if (lead >= 0x81 && lead <= 0xFE && position + 1 < gbk.size()) {
    auto trail = static_cast<unsigned char>(gbk[position + 1]);
    if (trail >= 0x40 && trail <= 0xFE && trail != 0x7F) return position + 2;
  }
  return position + 1;
}
