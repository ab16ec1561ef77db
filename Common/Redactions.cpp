#include "Redactions.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026 in UTF-8

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

// Query item names whose values are credentials, matched as parts of the
// lower-cased name: "upswd" and "config.login" are the device's, the rest
// what RTMP services and cameras commonly use.
bool IsSecretName(std::string_view name) {
  static constexpr std::array<std::string_view, 9> parts = {"upswd", "login", "key",    "pass",  "pwd",
                                                            "token", "secret", "auth", "sign"};
  std::string lower = Lower(name);
  return std::any_of(parts.begin(), parts.end(),
                     [&](std::string_view part) { return lower.find(part) != std::string::npos; });
}

// "name=value&name=value": each secret value replaced by its hint, or, with
// `everyValue`, every value whatever its name (an RTMP application's query
// is where services put their keys; there a bare item is a value too).
std::string RedactQuery(std::string_view query, bool everyValue = false) {
  std::string out;
  size_t position = 0;
  while (position <= query.size()) {
    size_t end = std::min(query.find('&', position), query.size());
    std::string_view item = query.substr(position, end - position);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos)
      out.append(everyValue ? SecretHint(item) : std::string(item));
    else if (everyValue || IsSecretName(item.substr(0, eq)))
      out.append(item.substr(0, eq + 1)).append(SecretHint(item.substr(eq + 1)));
    else
      out.append(item);
    if (end < query.size()) out.push_back('&');
    position = end + 1;
  }
  return out;
}

// "user:password@host:port": the password replaced by its hint.
std::string RedactAuthority(std::string_view authority) {
  size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return std::string(authority);
  size_t colon = authority.find(':');
  if (colon == std::string_view::npos || colon > at) return std::string(authority);
  return std::string(authority.substr(0, colon + 1)) + SecretHint(authority.substr(colon + 1, at - colon - 1)) +
         std::string(authority.substr(at));
}

// librtmp reads "rtmp://host/app/playpath", and the application may carry a
// query ("app?key=K/playpath"): the playpath (with any query of its own) is
// the stream's key, and so is every value of the application's query.
std::string RedactRtmpPath(std::string_view path) {
  size_t appEnd = std::min(path.find('/', 1), path.size());
  std::string_view app = path.substr(0, appEnd);
  size_t question = app.find('?');
  std::string out(app.substr(0, question));
  if (question != std::string_view::npos) out += "?" + RedactQuery(app.substr(question + 1), true);
  if (appEnd + 1 >= path.size()) return out + std::string(path.substr(appEnd));
  return out + "/" + SecretHint(path.substr(appEnd + 1));
}

}  // namespace

std::string SecretHint(std::string_view secret) {
  if (secret.empty()) return {};
  size_t shown = secret.size() >= 16 ? 4 : secret.size() >= 8 ? 2 : 0;
  return std::string(kEllipsis) + std::string(secret.substr(secret.size() - shown));
}

std::string RedactSecret(std::string_view text, std::string_view secret) {
  if (secret.empty()) return std::string(text);
  std::string hint = SecretHint(secret);
  std::string out;
  size_t position = 0;
  for (size_t found; (found = text.find(secret, position)) != std::string_view::npos;
       position = found + secret.size())
    out.append(text.substr(position, found - position)).append(hint);
  out.append(text.substr(position));
  return out;
}

std::string RedactUrl(std::string_view url) {
  size_t scheme = url.find("://");
  size_t authorityStart = scheme == std::string_view::npos ? 0 : scheme + 3;
  size_t pathStart = scheme == std::string_view::npos ? 0 : std::min(url.find('/', authorityStart), url.size());
  std::string out(url.substr(0, authorityStart));
  out += RedactAuthority(url.substr(authorityStart, pathStart - authorityStart));
  std::string_view rest = url.substr(pathStart);
  if (scheme != std::string_view::npos && StartsWithNoCase(url, "rtmp")) return out + RedactRtmpPath(rest);
  size_t question = rest.find('?');
  if (question == std::string_view::npos) return out + std::string(rest);
  return out + std::string(rest.substr(0, question + 1)) + RedactQuery(rest.substr(question + 1));
}
