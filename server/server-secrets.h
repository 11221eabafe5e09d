// Comparing and keeping the secrets clients present: passwords and sessions.
#pragma once

#include <string>

// True when `a` and `b` are equal. Compares their SHA-256 digests with a
// constant-time compare, so the time taken tells nothing of where they
// differ, nor (beyond whole 64-byte blocks) how long the secret is.
bool SecretEquals(const std::string& a, const std::string& b);

// What the server keeps of an issued session and looks it up by: its SHA-256
// as 64 lowercase hexadecimal digits. A lookup by it compares digests of the
// presented text, which tell nothing of the sessions held; and the state
// directory holds no session a reader could present.
std::string SessionKey(const std::string& session);
