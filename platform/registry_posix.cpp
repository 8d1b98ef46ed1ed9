#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry.h"

namespace platform {
namespace {

const char kDefaultValueFile[] = "@";

bool SameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : char(c); };
           return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
         });
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A key name must map onto exactly one directory and never onto a value file.
bool ValidKeyName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name != kDefaultValueFile && name[0] != '=' &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool ValidValueName(const std::string& name) {
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string ValueFileName(const std::string& name) { return name.empty() ? kDefaultValueFile : "=" + name; }

bool SplitKey(const std::string& key, std::vector<std::string>& parts) {
  parts.clear();
  size_t start = 0;
  for (;;) {
    size_t end = key.find('\\', start);
    std::string part = key.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!ValidKeyName(part)) return false;
    parts.push_back(part);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// The entry of dir whose name equals name ignoring case (the exact name
// first); empty when none does.
std::string FindEntry(const std::string& dir, const std::string& name, bool wantDirectory) {
  std::string exact = dir + "/" + name;
  if (wantDirectory ? IsDirectory(exact) : IsRegularFile(exact)) return exact;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return {};
  std::string found;
  while (dirent* e = ::readdir(d)) {
    std::string entry = e->d_name;
    if (!SameNoCase(entry, name)) continue;
    std::string path = dir + "/" + entry;
    if (wantDirectory ? IsDirectory(path) : IsRegularFile(path)) {
      found = path;
      break;
    }
  }
  ::closedir(d);
  return found;
}

// The directory of an existing key, or empty.
std::string KeyDirectory(const std::string& key) {
  std::vector<std::string> parts;
  if (!SplitKey(key, parts)) return {};
  std::string dir = RegistryRoot();
  if (!IsDirectory(dir)) return {};
  for (const std::string& part : parts) {
    dir = FindEntry(dir, part, true);
    if (dir.empty()) return {};
  }
  return dir;
}

bool MakeDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return IsDirectory(path);
}

std::string CreatedKeyDirectory(const std::string& key) {
  std::vector<std::string> parts;
  if (!SplitKey(key, parts)) return {};
  std::string dir = RegistryRoot();
  if (!MakeDirectories(dir)) return {};
  for (const std::string& part : parts) {
    std::string next = FindEntry(dir, part, true);
    if (next.empty()) {
      next = dir + "/" + part;
      if (::mkdir(next.c_str(), 0755) != 0 && errno != EEXIST) return {};
      if (!IsDirectory(next)) return {};
    }
    dir = next;
  }
  return dir;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += size_t(w);
  }
  return true;
}

std::vector<std::string> Entries(const std::string& key, bool directories) {
  std::vector<std::string> names;
  std::string dir = KeyDirectory(key);
  if (dir.empty()) return names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = ::readdir(d)) {
    std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    std::string path = dir + "/" + entry;
    // A directory a user made as "@" or "=x" is no key: no call could open it.
    if (directories && ValidKeyName(entry) && IsDirectory(path)) names.push_back(entry);
    if (!directories && entry.size() > 1 && entry[0] == '=' && IsRegularFile(path)) names.push_back(entry.substr(1));
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::string RegistryRoot() {
  if (const char* root = std::getenv("VELMORA_REGISTRY"); root != nullptr && *root != '\0') return root;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0')
    return std::string(config) + "/velmora/registry";
  std::string home;
  if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') {
    home = h;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  }
  return home + "/.config/velmora/registry";
}

bool RegistryCreateKey(const std::string& key) { return !CreatedKeyDirectory(key).empty(); }

bool RegistryKeyExists(const std::string& key) { return !KeyDirectory(key).empty(); }

bool RegistrySetValue(const std::string& key, const std::string& name, const std::string& value) {
  if (!ValidValueName(name)) return false;
  std::string dir = CreatedKeyDirectory(key);
  if (dir.empty()) return false;
  std::string file = ValueFileName(name);
  std::string target = FindEntry(dir, file, false);
  if (target.empty()) target = dir + "/" + file;
  std::string temp = dir + "/@.tmpXXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = WriteAll(fd, value);
  ok = ::fchmod(fd, 0644) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

std::optional<std::string> RegistryQueryValue(const std::string& key, const std::string& name) {
  if (!ValidValueName(name)) return std::nullopt;
  std::string dir = KeyDirectory(key);
  if (dir.empty()) return std::nullopt;
  std::string path = FindEntry(dir, ValueFileName(name), false);
  if (path.empty()) return std::nullopt;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t r = ::read(fd, buffer, sizeof buffer);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (r == 0) break;
    text.append(buffer, size_t(r));
  }
  ::close(fd);
  return text;
}

bool RegistryDeleteValue(const std::string& key, const std::string& name) {
  if (!ValidValueName(name)) return false;
  std::string dir = KeyDirectory(key);
  if (dir.empty()) return false;
  std::string path = FindEntry(dir, ValueFileName(name), false);
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

bool RegistryDeleteKey(const std::string& key) {
  std::vector<std::string> parts;
  if (!SplitKey(key, parts)) return false;
  std::string dir = KeyDirectory(key);
  if (dir.empty()) return true;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return !IsDirectory(dir);
}

std::vector<std::string> RegistrySubKeys(const std::string& key) { return Entries(key, true); }

std::vector<std::string> RegistryValueNames(const std::string& key) { return Entries(key, false); }

}  // namespace platform
