// PostgreSQL URLs read by libpq's parser (PQconninfoParse), never by hand: what libpq will
// connect with is what is checked, shown and kept, and a password in any of its forms (user:pw@,
// ?password=, percent-encoded, given twice) is one setting to leave out.
#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "records/postgres_url.h"
#include "records/records_url.h"

namespace velmora::records {
namespace {

// The settings that are secrets: never shown, never kept, never on a command line.
bool IsSecret(const std::string& keyword) { return keyword == "password" || keyword == "sslpassword"; }

// libpq's parse errors quote what they could not read, which may be a password (a bad
// percent-escape in it) or the whole URL: a quoted part stays only when it is a plain name
// (an unknown parameter's).
std::string WithoutQuotedText(const std::string& message) {
  std::string out;
  size_t at = 0;
  while (at < message.size()) {
    const size_t open = message.find('"', at);
    if (open == std::string::npos) {
      out += message.substr(at);
      break;
    }
    const size_t close = message.find('"', open + 1);
    if (close == std::string::npos) {
      out += message.substr(at, open - at);
      break;
    }
    const std::string quoted = message.substr(open + 1, close - open - 1);
    const bool name = !quoted.empty() && quoted.size() <= 40 &&
                      std::all_of(quoted.begin(), quoted.end(), [](char c) {
                        return (c >= 'a' && c <= 'z') || c == '_' || (c >= '0' && c <= '9');
                      });
    out += message.substr(at, open - at) + (name ? "\"" + quoted + "\"" : "(not repeated here)");
    at = close + 1;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool IsPort(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const int port = std::stoi(text);
  return port >= 1 && port <= 65535;
}

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (;;) {
    const size_t comma = text.find(',', at);
    parts.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) return parts;
    at = comma + 1;
  }
}

// The settings libpq would take only to fail when connecting: refused here, before any port.
bool CheckSettings(const PostgresSettings& settings, std::string* why) {
  // A password holding '@' or '/' as it is (not %40, %2F) ends the user part early: libpq then
  // reads the rest of it as a host, a port or a database name. Nothing of it is repeated here.
  for (const char* keyword : {"host", "hostaddr", "dbname"}) {
    if (SettingValue(settings, keyword).find('@') != std::string::npos) {
      *why = std::string("libpq reads an '@' in the ") + (std::string(keyword) == "dbname" ? "database name" : "host") +
             ": a password holding '@' or '/' is written %40 or %2F";
      return false;
    }
  }
  const std::string hosts = SettingValue(settings, "host").empty() ? SettingValue(settings, "hostaddr")
                                                                  : SettingValue(settings, "host");
  const std::string ports = SettingValue(settings, "port");
  if (!ports.empty()) {
    const std::vector<std::string> each = SplitCommas(ports);
    for (const std::string& p : each) {
      if (!p.empty() && !IsPort(p)) {
        // Not repeated: a password holding '/' as it is may be read as the port.
        *why = "a port is not a number from 1 to 65535";
        return false;
      }
    }
    const size_t hostCount = hosts.empty() ? 1 : SplitCommas(hosts).size();
    if (each.size() > 1 && each.size() != hostCount) {
      *why = std::to_string(each.size()) + " ports for " + std::to_string(hostCount) + " hosts";
      return false;
    }
  }
  struct Choice {
    const char* keyword;
    std::vector<const char*> values;
  };
  static const Choice choices[] = {
      {"sslmode", {"disable", "allow", "prefer", "require", "verify-ca", "verify-full"}},
      {"gssencmode", {"disable", "prefer", "require"}},
      {"channel_binding", {"disable", "prefer", "require"}},
      {"target_session_attrs", {"any", "read-write", "read-only", "primary", "standby", "prefer-standby"}},
  };
  for (const Choice& c : choices) {
    const std::string value = SettingValue(settings, c.keyword);
    if (value.empty()) continue;
    if (std::none_of(c.values.begin(), c.values.end(), [&](const char* v) { return value == v; })) {
      *why = std::string(c.keyword) + " \"" + value + "\" is not one libpq knows";
      return false;
    }
  }
  for (const char* keyword : {"keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count"}) {
    const std::string value = SettingValue(settings, keyword);
    if (!value.empty() && !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      *why = std::string(keyword) + " \"" + value + "\" is not a number";
      return false;
    }
  }
  return true;
}

bool Unreserved(char c, const char* alsoKept) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || std::strchr(alsoKept, c) != nullptr;
}

std::string Encode(const std::string& text, const char* alsoKept = "") {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if (c != '\0' && Unreserved(c, alsoKept)) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

// A host name or an IPv4 address: written where a URL names its host. Socket folders, IPv6
// addresses and lists of hosts go as the host parameter instead.
bool PlainHost(const std::string& host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
  });
}

}  // namespace

std::string SettingValue(const PostgresSettings& settings, const std::string& keyword) {
  for (const auto& [key, value] : settings)
    if (key == keyword) return value;
  return {};
}

bool ReadPostgresUrl(const std::string& url, PostgresSettings* settings, std::string* why) {
  settings->clear();
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> options(PQconninfoParse(url.c_str(), &error),
                                                                          PQconninfoFree);
  if (!options) {
    *why = "libpq cannot read it: " + (error != nullptr ? WithoutQuotedText(error) : std::string("out of memory"));
    PQfreemem(error);
    return false;
  }
  for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o)
    if (o->val != nullptr) settings->emplace_back(o->keyword, o->val);
  return CheckSettings(*settings, why);
}

std::string PostgresUrlWithoutSecrets(const PostgresSettings& settings) {
  const std::string user = SettingValue(settings, "user");
  const std::string host = SettingValue(settings, "host");
  const std::string port = SettingValue(settings, "port");
  const bool hostInPlace = PlainHost(host);
  const bool portInPlace = hostInPlace && IsPort(port);
  std::string url = "postgresql://";
  if (!user.empty()) url += Encode(user) + "@";
  if (hostInPlace) url += host;
  if (portInPlace) url += ":" + port;
  url += "/" + Encode(SettingValue(settings, "dbname"));
  std::string query;
  for (const auto& [key, value] : settings) {
    if (IsSecret(key) || key == "user" || key == "dbname" || (key == "host" && hostInPlace) ||
        (key == "port" && portInPlace))
      continue;
    query += (query.empty() ? "?" : "&") + key + "=" + Encode(value, "/:,");
  }
  return url + query;
}

bool ParsePostgresUrl(const std::string& value, RecordsTarget* target, std::string* why) {
  PostgresSettings settings;
  std::string reason;
  if (!ReadPostgresUrl(value, &settings, &reason)) {
    // The URL itself is not repeated: libpq could not say where its password is.
    *why = "--records: the PostgreSQL URL cannot be used: " + reason;
    return false;
  }
  target->kind = RecordsKind::Postgres;
  target->location = value;
  target->shown = PostgresUrlWithoutSecrets(settings);
  target->password = SettingValue(settings, "password");
  target->keyPassPhrase = !SettingValue(settings, "sslpassword").empty();
  return true;
}

void HidePasswordsInArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char* argument = argv[i];
    // The URL on its own or after "--records=".
    char* url = std::strstr(argument, "postgres");
    if (url == nullptr || (url != argument && url[-1] != '=')) continue;
    if (std::strncmp(url, "postgresql://", 13) != 0 && std::strncmp(url, "postgres://", 11) != 0) continue;
    PostgresSettings settings;
    std::string why;
    const bool read = ReadPostgresUrl(url, &settings, &why);
    const bool secret = !read || std::any_of(settings.begin(), settings.end(),
                                             [](const auto& s) { return IsSecret(s.first); });
    if (!secret) continue;
    // What replaces it is never longer: the rest of the old text is cleared.
    const std::string shown = read ? PostgresUrlWithoutSecrets(settings) : "postgresql://";
    const size_t length = std::strlen(url);
    const size_t kept = std::min(shown.size(), length);
    std::memcpy(url, shown.data(), kept);
    std::memset(url + kept, 0, length - kept);
  }
}

}  // namespace velmora::records
