// The registry as a tree of files. A key is a directory; its default value is
// the file "@", a named value the file "=Name". A value file holds the text
// (UTF-8) without a trailing newline; an empty string is an empty file.
// Key paths are separated by backslashes and start with the hive, e.g.
// "HKCR\Velmora.VelmoraX\CLSID"; every lookup ignores case.
//
// The root is VELMORA_REGISTRY when set, else $XDG_CONFIG_HOME/velmora/registry,
// else ~/.config/velmora/registry. It is read at each call.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

std::string RegistryRoot();

// Creates the key and any missing parents; true when it exists afterwards.
bool RegistryCreateKey(const std::string& key);
bool RegistryKeyExists(const std::string& key);

// Writes a value (name "" for the default value) through a temporary file
// renamed over the old one, creating the key first. False when it could not
// be written; the old value is then unchanged.
bool RegistrySetValue(const std::string& key, const std::string& name, const std::string& value);
// The value's text, or nothing when the key or value does not exist.
std::optional<std::string> RegistryQueryValue(const std::string& key, const std::string& name = "");
bool RegistryDeleteValue(const std::string& key, const std::string& name);

// Deletes the key with all its subkeys and values. True when the key is
// gone afterwards (also when it never existed).
bool RegistryDeleteKey(const std::string& key);

// Names of the subkeys and of the named values (not the default), sorted.
std::vector<std::string> RegistrySubKeys(const std::string& key);
std::vector<std::string> RegistryValueNames(const std::string& key);

}  // namespace platform
