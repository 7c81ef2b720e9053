// A PostgreSQL URL as libpq's own connection-string parser reads it: the settings it gives, in
// libpq's order, checked for what can never connect.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velmora::records {

using PostgresSettings = std::vector<std::pair<std::string, std::string>>;

// The settings the URL gives (keyword, value), only those it gives. False with the reason,
// which never holds a password.
bool ReadPostgresUrl(const std::string& url, PostgresSettings* settings, std::string* why);

// The URL made again from settings, leaving out every secret (password, sslpassword): what
// messages and the outbox name a server by. Read again, it gives itself.
std::string PostgresUrlWithoutSecrets(const PostgresSettings& settings);

// The value of keyword in settings, "" when not given.
std::string SettingValue(const PostgresSettings& settings, const std::string& keyword);

}  // namespace velmora::records
