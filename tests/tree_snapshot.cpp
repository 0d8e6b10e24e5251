#include "tests/tree_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <xxhash.h>

#include <set>
#include <sstream>

#include "tests/test_util.h"

namespace veldar::testing {
namespace {

void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void SetTimesNoFollow(const std::string& path, std::int64_t seconds, long nsec) {
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = nsec;
  times[1] = times[0];
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) Fail("utimensat", path);
}

void ReadInto(const std::string& root, const std::string& relative, Tree* tree) {
  const std::string directory = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != kManifestFile) names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string path = relative.empty() ? name : relative + "/" + name;
    const std::string full = root + "/" + path;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    Node node;
    node.mode = st.st_mode & 07777;
    node.mtime = st.st_mtim.tv_sec;
    node.mtimeNsec = st.st_mtim.tv_nsec;
    if (S_ISDIR(st.st_mode)) {
      node.kind = Node::kDir;
      (*tree)[path] = node;
      ReadInto(root, path, tree);
      continue;
    }
    if (S_ISREG(st.st_mode)) {
      node.kind = Node::kFile;
      node.data = ReadFile(full);
    } else if (S_ISLNK(st.st_mode)) {
      node.kind = Node::kLink;
      std::string text(st.st_size + 1, '\0');
      const ssize_t n = readlink(full.c_str(), text.data(), text.size());
      text.resize(n < 0 ? 0 : n);
      node.data = text;
    } else {
      node.kind = Node::kOther;
    }
    (*tree)[path] = node;
  }
}

const char* KindName(Node::Kind kind) {
  switch (kind) {
    case Node::kFile:
      return "file";
    case Node::kDir:
      return "directory";
    case Node::kLink:
      return "link";
    case Node::kOther:
      return "special file";
  }
  return "?";
}

std::string Shown(const std::string& data) {
  std::string shown;
  for (unsigned char c : data.substr(0, 40)) {
    if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    }
  }
  return data.size() > 40 ? shown + "..." : shown;
}

}  // namespace

Node FileNode(const std::string& content, std::int64_t mtime, mode_t mode) {
  Node node;
  node.kind = Node::kFile;
  node.data = content;
  node.mtime = mtime;
  node.mode = mode;
  return node;
}

Node DirNode() {
  Node node;
  node.kind = Node::kDir;
  return node;
}

Node LinkNode(const std::string& text, std::int64_t mtime) {
  Node node;
  node.kind = Node::kLink;
  node.data = text;
  node.mtime = mtime;
  return node;
}

void BuildTree(const std::string& root, const Tree& tree) {
  MakeDirs(root);
  for (const auto& [path, node] : tree) {
    const std::string full = root + "/" + path;
    switch (node.kind) {
      case Node::kDir:
        if (mkdir(full.c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir", full);
        break;
      case Node::kFile: {
        const int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) Fail("open", full);
        const bool written = write(fd, node.data.data(), node.data.size()) == static_cast<ssize_t>(node.data.size());
        const bool moded = fchmod(fd, node.mode) == 0;
        close(fd);
        if (!written || !moded) Fail("write", full);
        if (node.mtime != 0) SetTimesNoFollow(full, node.mtime, node.mtimeNsec);
        break;
      }
      case Node::kLink:
        if (symlink(node.data.c_str(), full.c_str()) != 0) Fail("symlink", full);
        if (node.mtime != 0) SetTimesNoFollow(full, node.mtime, node.mtimeNsec);
        break;
      case Node::kOther:
        if (mkfifo(full.c_str(), 0644) != 0) Fail("mkfifo", full);
        break;
    }
  }
}

Tree ReadTree(const std::string& root) {
  Tree tree;
  ReadInto(root, "", &tree);
  return tree;
}

std::string TreeDiff(const Tree& want, const Tree& got) {
  std::string diff;
  int shown = 0;
  auto note = [&](const std::string& line) {
    if (++shown <= 6) diff += line + "\n";
  };
  for (const auto& [path, node] : want) {
    auto found = got.find(path);
    if (found == got.end()) {
      note("missing " + std::string(KindName(node.kind)) + " " + Shown(path));
      continue;
    }
    const Node& have = found->second;
    if (have.kind != node.kind) {
      note(Shown(path) + ": " + KindName(have.kind) + " instead of " + KindName(node.kind));
    } else if (node.kind == Node::kDir || node.kind == Node::kOther) {
      continue;
    } else if (have.data != node.data) {
      note(Shown(path) + ": \"" + Shown(have.data) + "\" instead of \"" + Shown(node.data) + "\"");
    } else if (node.kind == Node::kFile && have.mode != node.mode) {
      note(Shown(path) + ": mode " + std::to_string(have.mode) + " instead of " + std::to_string(node.mode));
    } else if (have.mtime != node.mtime || have.mtimeNsec != node.mtimeNsec) {
      note(Shown(path) + ": time " + std::to_string(have.mtime) + " instead of " + std::to_string(node.mtime));
    }
  }
  for (const auto& [path, node] : got) {
    if (!want.contains(path)) note("extra " + std::string(KindName(node.kind)) + " " + Shown(path));
  }
  if (shown > 6) diff += "... " + std::to_string(shown - 6) + " more\n";
  return diff;
}

Tree Without(const Tree& tree, const std::function<bool(const std::string& name)>& drop) {
  Tree kept;
  std::vector<std::string> dropped;
  for (const auto& [path, node] : tree) {
    bool below = false;
    for (const std::string& gone : dropped) below = below || path.rfind(gone + "/", 0) == 0;
    const auto slash = path.rfind('/');
    if (below || drop(slash == std::string::npos ? path : path.substr(slash + 1))) {
      dropped.push_back(path);
      continue;
    }
    kept.emplace(path, node);
  }
  return kept;
}

bool IsTempName(const std::string& name) {
  return name.rfind(".~", 0) == 0 && name.size() > 6 && name.ends_with(".tmp");
}

std::string RsyncChanges(const std::string& source, const std::string& copy) {
  std::string output;
  const int status = RunCommand("rsync -a --dry-run --itemize-changes --checksum --delete --exclude=/" +
                                    std::string(kManifestFile) + " '" + source + "/' '" + copy + "/' 2>&1",
                                &output);
  std::string changes;
  for (const std::string& line : Lines(output)) {
    if (line.rfind(".d..t......", 0) == 0) continue;
    changes += line + "\n";
  }
  if (status != 0) changes += "rsync exit status " + std::to_string(status) + "\n";
  return changes;
}

namespace {

// What is wrong with the manifest `manifestPath` of the files below `root`;
// `listed` receives the paths it lists.
std::string ManifestEntryProblems(const std::string& root, const std::string& manifestPath,
                                  std::set<std::string>& listed) {
  struct stat st;
  if (lstat(manifestPath.c_str(), &st) != 0) return "no manifest";
  std::istringstream text(ReadFile(manifestPath));
  std::string line, problems;
  bool header = false, ended = false;
  while (std::getline(text, line)) {
    if (!header) {
      if (line != "VELDAR2-MANIFEST 1") return "not a manifest: " + line;
      header = true;
      continue;
    }
    if (line.rfind("END ", 0) == 0) {
      if (std::to_string(listed.size()) != line.substr(4)) problems += "wrong count: " + line + "\n";
      ended = true;
      continue;
    }
    std::istringstream fields(line);
    std::string checksum, escaped;
    long long size = 0, seconds = 0, nanoseconds = 0;
    fields >> checksum >> size >> seconds >> nanoseconds;
    fields.get();
    std::getline(fields, escaped);
    std::string path;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
      if (escaped[i] == '%' && i + 2 < escaped.size()) {
        path += static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        path += escaped[i];
      }
    }
    listed.insert(path);
    const std::string full = root + "/" + path;
    if (lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      problems += "listed, not a file: " + path + "\n";
      continue;
    }
    if (st.st_size != size || st.st_mtim.tv_sec != seconds || st.st_mtim.tv_nsec != nanoseconds) {
      problems += "other size or time: " + path + "\n";
      continue;
    }
    const std::string content = ReadFile(full);
    const XXH128_hash_t hash = XXH3_128bits(content.data(), content.size());
    char hex[33];
    std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
                  static_cast<unsigned long long>(hash.low64));
    if (checksum != hex) problems += "other content: " + path + "\n";
  }
  if (!ended) problems += "cut short\n";
  return problems;
}

}  // namespace

std::string FileManifestProblems(const std::string& backup, const std::string& generation) {
  std::set<std::string> listed;
  std::string problems = ManifestEntryProblems(backup, backup + "/." + generation + ".veldar2-manifest", listed);
  if (problems.empty() && listed != std::set<std::string>{generation}) problems = "not the generation's own\n";
  return problems;
}

std::string ManifestProblems(const std::string& root) {
  std::set<std::string> listed;
  std::string problems = ManifestEntryProblems(root, root + "/" + kManifestFile, listed);
  if (problems.rfind("no manifest", 0) == 0 || problems.rfind("not a manifest", 0) == 0) return problems;
  for (const auto& [path, node] : ReadTree(root)) {
    // The run lock of a mirror into the backup directory is the program's too.
    if (node.kind == Node::kFile && !listed.contains(path) && path != ".veldar2.lock") {
      problems += "not listed: " + path + "\n";
    }
  }
  return problems;
}

std::int64_t BirthNs(const std::string& path) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) != 0 || !(sx.stx_mask & STATX_BTIME)) {
    return -1;
  }
  return static_cast<std::int64_t>(sx.stx_btime.tv_sec) * 1'000'000'000 + sx.stx_btime.tv_nsec;
}

void RemoveTree(const std::string& path) {
  // rm walks trees of any depth; std::filesystem gives up beyond PATH_MAX.
  RunCommand("chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'");
}

FastTempDir::FastTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string parent = base && *base ? base : "/tmp";
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) parent = "/dev/shm";
  std::string pattern = parent + "/veldar2-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

FastTempDir::~FastTempDir() { RemoveTree(path_); }

}  // namespace veldar::testing
