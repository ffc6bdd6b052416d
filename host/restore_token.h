// The portal's restore token: what lets a later session start without asking the user
// again, kept in the user's state folder. The file is read back as untrusted input: what
// does not look like a token is not sent, and the portal then asks as it would anyway.
#pragma once

#include <string>

// $XDG_STATE_HOME/tavimo-host/portal-restore-token (default ~/.local/state/...); empty
// when neither is known.
std::string restoreTokenPath();
// The token a file's bytes hold: one line of 1 to 256 printable ASCII characters without
// spaces. False with `why` otherwise.
bool parseRestoreToken(const std::string& bytes, std::string& token, std::string& why);
// The token kept at `path`, if any: false with `why` empty when there is none, else with
// why it is not used.
bool loadRestoreToken(const std::string& path, std::string& token, std::string& why);
// Replaces the kept token (folder 0700, file 0600, written whole or not at all).
bool saveRestoreToken(const std::string& path, const std::string& token, std::string& error);
