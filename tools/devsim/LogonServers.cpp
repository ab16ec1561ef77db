#include "LogonServers.h"

#include <cstdio>

std::string TLoginKeys::Issue() {
  char key[33];
  std::snprintf(key, sizeof key, "%08x%08x%08x%08x", g_random_int(), g_random_int(), g_random_int(),
                g_random_int());
  std::lock_guard guard(lock_);
  keys_.insert(key);
  return key;
}

bool TLoginKeys::Valid(const std::string& key) const {
  std::lock_guard guard(lock_);
  return keys_.count(key) != 0;
}

std::string DevicePasswordHash(const std::string& utf8Password) {
  gsize length = 0;
  gchar* gbk = g_convert(utf8Password.data(), static_cast<gssize>(utf8Password.size()), "GBK", "UTF-8",
                         nullptr, &length, nullptr);
  std::string bytes = gbk != nullptr ? std::string(gbk, length) : utf8Password;
  g_free(gbk);
  gchar* hex = g_compute_checksum_for_data(G_CHECKSUM_MD5, reinterpret_cast<const guchar*>(bytes.data()),
                                           bytes.size());
  std::string result(hex);
  g_free(hex);
  return result;
}

TLogonServer::TLogonServer(const TSimulatorOptions& options, TLoginKeys& keys)
    : options_(options), keys_(keys), passwordHash_(DevicePasswordHash(options.password)) {}

TLogonServer::~TLogonServer() {
  if (server_ != nullptr) {
    soup_server_disconnect(server_);
    g_object_unref(server_);
  }
}

int TLogonServer::Listen(std::string& error) {
  server_ = soup_server_new("server-header", "devsim", nullptr);
  soup_server_add_handler(server_, "/cgi-bin/logon.cgi", &TLogonServer::HandleLogon, this, nullptr);
  GInetAddress* inet = g_inet_address_new_from_string(options_.address.c_str());
  if (inet == nullptr) {
    error = "not an IP address: " + options_.address;
    return 0;
  }
  GSocketAddress* address = g_inet_socket_address_new(inet, static_cast<guint16>(options_.httpPort));
  g_object_unref(inet);
  GError* failure = nullptr;
  gboolean listening = soup_server_listen(server_, address, static_cast<SoupServerListenOptions>(0), &failure);
  g_object_unref(address);
  if (!listening) {
    error = failure != nullptr ? failure->message : "cannot listen";
    g_clear_error(&failure);
    return 0;
  }
  int port = 0;
  GSList* uris = soup_server_get_uris(server_);
  if (uris != nullptr) port = g_uri_get_port(static_cast<GUri*>(uris->data));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  return port;
}

void TLogonServer::HandleLogon(SoupServer*, SoupServerMessage* message, const char*, GHashTable* query,
                               gpointer self) {
  static_cast<TLogonServer*>(self)->Answer(message, query);
}

void TLogonServer::Answer(SoupServerMessage* message, GHashTable* query) {
  GUri* uri = soup_server_message_get_uri(message);
  const char* queryText = g_uri_get_query(uri);
  const char* user = query != nullptr ? static_cast<const char*>(g_hash_table_lookup(query, "username")) : nullptr;
  const char* hash = query != nullptr ? static_cast<const char*>(g_hash_table_lookup(query, "upswd")) : nullptr;
  // A device compares the hash as its own code writes it: lower-case hex.
  bool accepted = user != nullptr && hash != nullptr && options_.user == user && passwordHash_ == hash;
  std::string reply = "-1";
  if (accepted) reply = options_.logonReply ? *options_.logonReply : "1|" + keys_.Issue() + "|" + options_.user;
  std::printf("HTTP %s %s%s%s from %s -> %s\n", soup_server_message_get_method(message), g_uri_get_path(uri),
              queryText != nullptr ? "?" : "", queryText != nullptr ? queryText : "",
              soup_server_message_get_remote_host(message), reply.c_str());
  std::fflush(stdout);
  soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
  soup_server_message_set_response(message, "text/plain", SOUP_MEMORY_COPY, reply.data(), reply.size());
}
