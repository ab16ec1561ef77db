#include "DeviceLogons.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "Debugs.h"
#include "GbkTexts.h"
#include "MD5s.h"
#include "Redactions.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr long kConnectTimeoutMs = 3000;
constexpr long kTotalTimeoutMs = 5000;
constexpr size_t kMaxBody = 1 << 20;  // a logon reply is a few dozen bytes

struct TBody {
  std::string bytes;
};

size_t AppendBody(char* data, size_t size, size_t count, void* body) {
  auto& target = static_cast<TBody*>(body)->bytes;
  size_t length = size * count;
  if (target.size() + length > kMaxBody) return 0;  // makes curl fail the transfer
  target.append(data, length);
  return length;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

std::atomic<bool> logonsCancelled{false};
// Bumped by CancelLogons; a download that sees it change since it began ends.
std::atomic<uint32_t> logonCancels{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "CancelLogons must be async-signal-safe");

// libcurl calls this at least once a second, also while it connects; the
// download's cancel generation is its user pointer.
int AbortWhenCancelled(void* generation, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return logonsCancelled.load() || logonCancels.load() != *static_cast<const uint32_t*>(generation) ? 1 : 0;
}

bool IsUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

void SetLogonsCancelled(bool cancelled) { logonsCancelled.store(cancelled); }

void CancelLogons() { logonCancels.fetch_add(1); }

bool DownloadURLToText(const std::string& url, std::string& text) {
  InitCurlOnce();
  const uint32_t generation = logonCancels.load();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return false;
  TBody body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // A redirect would carry the password's hash on to wherever the reply
  // points; a device answers its logon itself.
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // time-outs without SIGALRM, safe on any thread
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, AbortWhenCancelled);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &generation);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (result != CURLE_OK) {
    DebugLogFmt("DownloadURLToText failed: %s", curl_easy_strerror(result));
    return false;
  }
  if (status >= 300) {  // a redirect not followed is no reply
    DebugLogFmt("DownloadURLToText failed: HTTP %ld", status);
    return false;
  }
  text = std::move(body.bytes);
  return true;
}

std::string GetTempDir() {
#ifdef _WIN32
  char path[MAX_PATH + 1] = {};
  return GetTempPathA(MAX_PATH + 1, path) == 0 ? std::string() : std::string(path);
#else
  const char* dir = std::getenv("TMPDIR");
  std::string result = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  if (result.back() != '/') result.push_back('/');
  return result;
#endif
}

std::vector<std::string> SplitReplyFields(std::string_view reply) {
  std::vector<std::string> fields;
  size_t position = 0;
  while (position < reply.size()) {
    while (position < reply.size() && IsLineEnd(reply[position])) ++position;
    std::string field;
    char quote = 0;
    while (position < reply.size()) {
      char c = reply[position];
      if (quote == 0 && (c == '|' || IsLineEnd(c))) break;
      if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else if (c == quote) {
        quote = 0;
      }
      size_t next = NextGbkCharacter(reply, position);
      field.append(reply.substr(position, next - position));
      position = next;
    }
    if (!field.empty()) fields.push_back(std::move(field));
    if (position < reply.size()) ++position;  // the character that ended the field
  }
  return fields;
}

bool IsUsableLoginKey(std::string_view key) {
  if (key.empty() || key.size() > kMaxLoginKeyLength) return false;
  for (char c : key)
    if (!IsUnreserved(c)) return false;
  return true;
}

std::string PercentEncoded(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : bytes) {
    if (IsUnreserved(c)) {
      encoded.push_back(c);
      continue;
    }
    auto byte = static_cast<unsigned char>(c);
    encoded.push_back('%');
    encoded.push_back(kHex[byte >> 4]);
    encoded.push_back(kHex[byte & 0x0F]);
  }
  return encoded;
}

std::string LoginKeyFromReply(std::string_view reply) {
  if (reply == "-1") return {};
  std::vector<std::string> fields = SplitReplyFields(reply);
  return fields.size() >= 3 ? fields[1] : std::string();
}

std::string GetLoginKey(const std::string& host, const std::string& user, const std::string& password,
                        int httpPort) {
  std::string hash = MD5Hex(Utf8ToGbk(password));
  std::string url = "http://" + host + ":" + std::to_string(httpPort) +
                    "/cgi-bin/logon.cgi?username=" + PercentEncoded(Utf8ToGbk(user)) + "&upswd=" + hash;
  DebugLog("URL:" + RedactUrl(url));
  std::string reply;
  if (!DownloadURLToText(url, reply)) return {};
  std::string key = LoginKeyFromReply(reply);
  DebugLog("GetLoginKey: " + RedactSecret(reply, key));
  if (key.empty() || IsUsableLoginKey(key)) return key;
  DebugLogFmt("GetLoginKey: the key (%zu bytes) is not URL-safe text of at most %zu characters: logon failed",
              key.size(), kMaxLoginKeyLength);
  return {};
}
