// The registry's files as a user may leave them, and every registry call over
// them, checked against a small model: a tree of exact names on which each
// call is worked out. Where a lookup that ignores (ASCII) case matches more
// than one entry and none exactly, the code may take any of them, so the
// model gives every outcome and the tree on disk must be one of them.
//
// Input: steps, each an operation byte and its operands. Names come mostly
// from a short list that collides in case and holds the names the files
// reserve ("@", "=x", "..", ...); a name byte with bit 7 set takes up to 7
// raw bytes instead.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/fuzz/byte_reader.h"

namespace {

namespace fs = std::filesystem;

struct Node {
  bool dir = true;
  std::string text;                      // a file's bytes
  std::map<std::string, Node> children;  // a directory's entries by exact name
  bool operator==(const Node&) const = default;
};

using Path = std::vector<std::string>;

struct Outcome {
  Node root;
  std::string answer;
};

fs::path& Root() {
  static fs::path root;
  return root;
}

Node ReadTree(const fs::path& p) {
  Node n;
  if (!fs::is_directory(fs::symlink_status(p))) {
    std::ifstream in(p, std::ios::binary);
    n.dir = false;
    n.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return n;
  }
  for (const auto& e : fs::directory_iterator(p)) n.children[e.path().filename().string()] = ReadTree(e.path());
  return n;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// The entries of d of the wanted kind a name may mean: the exact one alone
// when there is one, else every one equal to it ignoring case.
std::vector<std::string> Matches(const Node& d, const std::string& name, bool wantDir) {
  const auto exact = d.children.find(name);
  if (exact != d.children.end() && exact->second.dir == wantDir) return {name};
  std::vector<std::string> found;
  for (const auto& [entry, node] : d.children)
    if (node.dir == wantDir && SameIgnoringCase(entry, name)) found.push_back(entry);
  return found;
}

template <class N>
N& At(N& root, const Path& path) {
  N* n = &root;
  for (const std::string& part : path) n = &n->children.at(part);
  return *n;
}

Path Split(const std::string& key) {
  Path parts;
  for (size_t start = 0;;) {
    const size_t end = key.find('\\', start);
    parts.push_back(key.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

const std::string kSlashOrNul("/\0", 2);

// A name that can be one entry of a directory.
bool EntryName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of(kSlashOrNul) == std::string::npos;
}

// A key's name never names a value file.
bool KeyName(const std::string& name) { return EntryName(name) && name != "@" && name[0] != '='; }

bool KeyParts(const std::string& key, Path& parts) {
  parts = Split(key);
  for (const std::string& part : parts)
    if (!KeyName(part)) return false;
  return true;
}

bool ValueName(const std::string& name) { return name.find_first_of(kSlashOrNul) == std::string::npos; }

std::string ValueFile(const std::string& name) { return name.empty() ? "@" : "=" + name; }

// Follows the key's parts from the root, making missing ones when create is
// set; calls done with each tree the walk can leave and the path of the key
// in it (nullptr when the key is not there or cannot be made).
using WalkEnd = std::function<void(const Node& root, const Path* key)>;
void Walk(Node root, const Path& parts, bool create, const WalkEnd& done, Path at = {}) {
  if (at.size() == parts.size()) return done(root, &at);
  const std::string& part = parts[at.size()];
  Node& parent = At(root, at);
  std::vector<std::string> found = Matches(parent, part, true);
  if (found.empty()) {
    if (!create || parent.children.count(part)) return done(root, nullptr);  // a file holds the name
    parent.children[part] = Node{};
    found.push_back(part);
  }
  for (const std::string& name : found) {
    Path next = at;
    next.push_back(name);
    Walk(root, parts, create, done, next);
  }
}

std::string Join(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += n + '\0';
  return out;
}

// Subkeys are the directories a key can name; values the "=Name" files.
std::string Listing(const Node& key, bool subkeys) {
  std::vector<std::string> names;
  for (const auto& [name, node] : key.children) {
    if (subkeys && node.dir && KeyName(name)) names.push_back(name);
    if (!subkeys && !node.dir && name.size() > 1 && name[0] == '=') names.push_back(name.substr(1));
  }
  return Join(names);
}

enum Op : uint8_t {
  kCreateKey,
  kKeyExists,
  kSetValue,
  kQueryValue,
  kDeleteValue,
  kDeleteKey,
  kSubKeys,
  kValueNames,
  kUserMakeDirectory,
  kUserWriteFile,
  kUserRemove,
  kOps
};

struct Step {
  Op op;
  std::string key, name, value;
};

// Every outcome the model allows for a registry call. Answers: "0" or "1",
// "-" for no value or "=" and its text, and lists of names each ended by NUL.
std::vector<Outcome> Expect(const Node& root, const Step& s) {
  std::vector<Outcome> out;
  const auto add = [&](const Node& r, const std::string& answer) { out.push_back({r, answer}); };
  const std::string none = s.op == kQueryValue ? "-" : s.op == kSubKeys || s.op == kValueNames ? "" : "0";
  Path parts;
  const bool usesName = s.op == kSetValue || s.op == kQueryValue || s.op == kDeleteValue;
  if (!KeyParts(s.key, parts) || (usesName && !ValueName(s.name))) return add(root, none), out;
  const std::string file = ValueFile(s.name);
  Walk(root, parts, s.op == kCreateKey || s.op == kSetValue, [&](const Node& r, const Path* key) {
    if (!key) return add(r, s.op == kDeleteKey ? "1" : none);  // a missing key is deleted already
    const Node& k = At(r, *key);
    std::vector<std::string> values = Matches(k, file, false);
    const auto changed = [&](const std::function<void(Node&)>& change) {
      Node copy = r;
      change(At(copy, *key));
      add(copy, "1");
    };
    switch (s.op) {
      case kCreateKey:
      case kKeyExists:
        return add(r, "1");
      case kDeleteKey: {
        Node copy = r;
        At(copy, Path(key->begin(), key->end() - 1)).children.erase(key->back());
        return add(copy, "1");
      }
      case kSubKeys:
      case kValueNames:
        return add(r, Listing(k, s.op == kSubKeys));
      case kSetValue:
        if (values.empty() && k.children.count(file)) return add(r, "0");  // a directory holds the name
        if (values.empty()) values.push_back(file);
        for (const std::string& v : values)
          changed([&](Node& d) { d.children[v] = Node{false, s.value, {}}; });
        return;
      case kQueryValue:
        if (values.empty()) add(r, "-");
        for (const std::string& v : values) add(r, "=" + k.children.at(v).text);
        return;
      case kDeleteValue:
        if (values.empty()) add(r, "0");
        for (const std::string& v : values) changed([&](Node& d) { d.children.erase(v); });
        return;
      default:
        return;
    }
  });
  return out;
}

std::string Call(const Step& s) {
  using namespace platform;
  const auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
  switch (s.op) {
    case kCreateKey:
      return flag(RegistryCreateKey(s.key));
    case kKeyExists:
      return flag(RegistryKeyExists(s.key));
    case kSetValue:
      return flag(RegistrySetValue(s.key, s.name, s.value));
    case kQueryValue: {
      const auto v = RegistryQueryValue(s.key, s.name);
      return v ? "=" + *v : "-";
    }
    case kDeleteValue:
      return flag(RegistryDeleteValue(s.key, s.name));
    case kDeleteKey:
      return flag(RegistryDeleteKey(s.key));
    case kSubKeys:
      return Join(RegistrySubKeys(s.key));
    case kValueNames:
      return Join(RegistryValueNames(s.key));
    default:
      return {};
  }
}

// What a user does to the files by hand; the key's parts are the path.
void UserEdit(const Step& s) {
  fs::path path = Root();
  for (const std::string& part : Split(s.key)) {
    if (!EntryName(part)) return;
    path /= part;
  }
  std::error_code ec;
  if (s.op == kUserMakeDirectory) fs::create_directory(path, ec);
  if (s.op == kUserWriteFile && !fs::is_directory(path)) std::ofstream(path, std::ios::binary) << s.value;
  if (s.op == kUserRemove) fs::remove_all(path, ec);
}

struct Reader : fuzz::ByteReader {
  std::string Bytes(size_t count) {
    std::string s;
    while (count-- && n) s += char(Byte());
    return s;
  }
  std::string Name() {
    static const std::vector<std::string> kNames = {
        "a", "A", "b", "ab", "AB", "aB", "@", "=", "=a", "=A", ".", "..", "", "a\\b", "a/b", std::string("a\0b", 3),
        "\xc3\xa9", "\xc3\x89", "@.tmp"};
    const uint8_t b = Byte();
    return b & 0x80 ? Bytes(b & 7) : kNames[b % kNames.size()];
  }
  Step Next() {
    Step s;
    s.op = Op(Byte() % kOps);
    s.key = Name();
    for (int more = Byte() % 4; more > 0; --more) s.key += "\\" + Name();
    if (s.op == kSetValue || s.op == kQueryValue || s.op == kDeleteValue) s.name = Name();
    if (s.op == kSetValue || s.op == kUserWriteFile) s.value = Bytes(Byte() % 16);
    return s;
  }
};

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char hex[8];
    std::snprintf(hex, sizeof hex, c < 0x20 || c >= 0x7F ? "\\x%02X" : "%c", c);
    out += hex;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where it can be: every step is file operations.
  std::string dir;
  for (const char* base : {"/dev/shm", "/tmp"}) {
    dir = std::string(base) + "/velmora-registry-fuzz-XXXXXX";
    if (mkdtemp(dir.data())) break;
    dir.clear();
  }
  if (dir.empty()) std::abort();
  Root() = fs::path(dir) / "registry";
  setenv("VELMORA_REGISTRY", Root().c_str(), 1);
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(Root().parent_path(), ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::error_code ec;
  fs::remove_all(Root(), ec);
  fs::create_directory(Root());
  Node model;
  Reader in{{data, size}};
  for (int step = 0; in.n && step < 64; ++step) {
    const Step s = in.Next();
    if (s.op >= kUserMakeDirectory) {
      UserEdit(s);
      model = ReadTree(Root());
      continue;
    }
    const std::vector<Outcome> allowed = Expect(model, s);
    const std::string answer = Call(s);
    model = ReadTree(Root());
    bool answerAllowed = false, outcomeAllowed = false;
    for (const Outcome& o : allowed) {
      answerAllowed = answerAllowed || o.answer == answer;
      outcomeAllowed = outcomeAllowed || (o.answer == answer && o.root == model);
    }
    if (outcomeAllowed) continue;
    std::fprintf(stderr, "step %d: operation %d, key \"%s\", name \"%s\": answered \"%s\"%s; the model allows",
                 step, int(s.op), Printable(s.key).c_str(), Printable(s.name).c_str(), Printable(answer).c_str(),
                 answerAllowed ? " but left other files" : "");
    for (const Outcome& o : allowed) std::fprintf(stderr, " \"%s\"", Printable(o.answer).c_str());
    std::fprintf(stderr, "\n");
    std::abort();
  }
  return 0;
}
