// The logon reply comes from whatever answers on the device's address: any
// bytes must split without a crash into non-empty fields that appear in the
// reply in order, and the login key must be one of them. The password takes
// the same path to GBK whatever its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceLogons.h"
#include "GbkTexts.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

void CheckFields(std::string_view reply, const std::vector<std::string>& fields) {
  size_t from = 0;
  for (const std::string& field : fields) {
    Require(!field.empty() && !IsLineEnd(field.front()));
    size_t at = reply.find(field, from);
    Require(at != std::string_view::npos);
    from = at + field.size();
  }
}

void CheckLoginKey(std::string_view reply, const std::vector<std::string>& fields) {
  std::string key = LoginKeyFromReply(reply);
  if (reply == "-1" || fields.size() < 3)
    Require(key.empty());
  else
    Require(key == fields[1]);
}

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

void CheckGbk(std::string_view text) {
  std::string gbk = Utf8ToGbk(text);
  Require(gbk.empty() == text.empty());
  if (IsAscii(text)) Require(gbk == text);
  for (size_t position = 0; position < gbk.size();) {
    size_t next = NextGbkCharacter(gbk, position);
    Require(next > position && next <= gbk.size());
    position = next;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> fields = SplitReplyFields(reply);
  CheckFields(reply, fields);
  CheckLoginKey(reply, fields);
  CheckGbk(reply);
  return 0;
}
