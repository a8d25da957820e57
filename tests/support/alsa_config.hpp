// The ALSA configuration every test runs under: the system's alsa.conf
// without its first hook, the one that loads the machine's and the user's
// files (/etc/alsa/conf.d, /etc/asound.conf, ~/.asoundrc, the XDG asoundrc).
// Whatever a sound server's packages put there then never runs inside a
// test, and `default` means the same on every machine. The pcm definitions,
// the null and file plugins and the cards hooks stay.
#pragma once

#include <string>

// The copy, written once per process in a temporary folder that goes when
// the process ends; the process aborts, saying why, where it cannot be made.
const std::string& PrivateAlsaConf();

// An ALSA_CONFIG_PATH of the copy followed by `more` (a file of the test's
// own definitions), or the copy alone when `more` is empty.
std::string AlsaConfigPath(const std::string& more = "");
