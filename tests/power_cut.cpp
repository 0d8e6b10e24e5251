#include "tests/power_cut.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "tests/test_util.h"

namespace veldar::testing {

PowerCut::PowerCut(const std::string& root) : root_(root) {
  // Whatever is there before the run is on the disk.
  After(OsOp::SyncFileSystem, root, {}, CopyMode::Replace);
}

void PowerCut::Look() {
  paths_.clear();
  LookAt(root_, "", &rootKey_);
}

void PowerCut::LookAt(const std::string& path, const std::string& relative, Key* key) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    return;
  }
  const std::int64_t birth = static_cast<std::int64_t>(sx.stx_btime.tv_sec) * 1'000'000'000 + sx.stx_btime.tv_nsec;
  *key = {sx.stx_ino, birth};
  paths_[path] = *key;
  Object& object = objects_[*key];
  object.birth = birth;
  Node& node = object.node;
  node.mode = sx.stx_mode & 07777;
  node.mtime = sx.stx_mtime.tv_sec;
  node.mtimeNsec = sx.stx_mtime.tv_nsec;
  if (S_ISREG(sx.stx_mode)) {
    node.kind = Node::kFile;
    node.data = ReadFile(path);
  } else if (S_ISLNK(sx.stx_mode)) {
    node.kind = Node::kLink;
    node.data.assign(sx.stx_size, '\0');
    const ssize_t got = readlink(path.c_str(), node.data.data(), node.data.size());
    node.data.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  } else if (S_ISDIR(sx.stx_mode)) {
    node.kind = Node::kDir;
    std::map<std::string, Key> entries;
    for (const std::string& name : ListNames(path)) {
      Key child{};
      LookAt(path + "/" + name, relative.empty() ? name : relative + "/" + name, &child);
      entries[name] = child;
    }
    objects_[*key].entries = std::move(entries);  // `object` may have moved meanwhile
  } else {
    node.kind = Node::kOther;
  }
}

void PowerCut::After(OsOp op, const std::string& path, const std::string& path2, CopyMode copyMode) {
  Look();
  switch (op) {
    case OsOp::SyncFileSystem:
      // Everything on the file system, the tree included, is on the disk.
      for (const auto& [where, key] : paths_) {
        const Object& object = objects_.at(key);
        if (object.node.kind == Node::kDir) {
          flushed_[key] = object.entries;
        } else {
          durable_.insert(key);
        }
      }
      break;
    case OsOp::Sync:
      if (auto found = paths_.find(path); found != paths_.end()) {
        flushed_[found->second] = objects_.at(found->second).entries;
      }
      break;
    case OsOp::CopyFile:
      // A copy that flushes its file before naming it.
      if (copyMode != CopyMode::Unflushed) {
        if (auto found = paths_.find(path2); found != paths_.end()) durable_.insert(found->second);
      }
      break;
    default:
      break;
  }
}

void PowerCut::Survive(const Key& dir, const std::string& prefix, const Policy& keep, Tree* tree, int depth,
                       std::vector<std::pair<std::int64_t, std::string>>* top) const {
  if (depth > 64) return;
  static const std::map<std::string, Key> kNone;
  const std::map<std::string, Key>& now = objects_.at(dir).entries;
  auto flushedAt = flushed_.find(dir);
  const std::map<std::string, Key>& was = flushedAt != flushed_.end() ? flushedAt->second : kNone;
  std::set<std::string> names;
  for (const auto& [name, key] : now) names.insert(name);
  for (const auto& [name, key] : was) names.insert(name);
  // A rename within the directory is one change, kept or undone whole: the
  // object then has its new name or its old one, never both or neither. Two
  // objects that swapped names are one change too.
  std::map<std::string, bool> renamed;
  for (const auto& [from, key] : was) {
    auto still = now.find(from);
    if (still != now.end() && still->second == key) continue;
    if (renamed.count(from)) continue;
    for (const auto& [to, other] : now) {
      auto before = was.find(to);
      if (other != key || (before != was.end() && before->second == key)) continue;
      renamed[from] = renamed[to] = keep(prefix + to);
      break;
    }
  }
  for (const std::string& name : names) {
    const std::string path = prefix + name;
    auto current = now.find(name);
    auto flushed = was.find(name);
    auto decided = renamed.find(name);
    std::optional<Key> chosen;
    if (current != now.end() && flushed != was.end() && current->second == flushed->second) {
      chosen = current->second;
    } else if (decided != renamed.end() ? decided->second : keep(path)) {
      if (current != now.end()) chosen = current->second;
    } else if (flushed != was.end()) {
      chosen = flushed->second;
    }
    if (!chosen) continue;
    const Object& object = objects_.at(*chosen);
    Node node = object.node;
    if (node.kind == Node::kFile && !durable_.count(*chosen)) node.data.clear();
    (*tree)[path] = node;
    if (top) top->emplace_back(object.birth, name);
    if (node.kind == Node::kDir) Survive(*chosen, path + "/", keep, tree, depth + 1, nullptr);
  }
}

Tree PowerCut::Survivor(const Policy& keep, std::vector<std::string>* createdInOrder) const {
  Tree tree;
  std::vector<std::pair<std::int64_t, std::string>> top;
  Survive(rootKey_, "", keep, &tree, 0, &top);
  if (createdInOrder) {
    std::sort(top.begin(), top.end());
    createdInOrder->clear();
    for (auto& [birth, name] : top) createdInOrder->push_back(name);
  }
  return tree;
}

void PowerCut::Cut(const Policy& keep) const {
  std::vector<std::string> order;
  const Tree survivor = Survivor(keep, &order);
  RemoveTree(root_);
  MakeDirs(root_);
  std::int64_t previous = -1;
  for (const std::string& name : order) {
    Tree one;
    for (const auto& entry : survivor) {
      if (entry.first == name || entry.first.starts_with(name + "/")) one.insert(entry);
    }
    // Created strictly after the one before, or made again until it is (the
    // clock of a busy virtual machine may step back a little).
    for (int attempt = 0; attempt < 100; ++attempt) {
      WaitForNewTimestamps();
      BuildTree(root_, one);
      const std::int64_t birth = BirthNs(root_ + "/" + name);
      if (birth > previous) {
        previous = birth;
        break;
      }
      RemoveTree(root_ + "/" + name);
    }
  }
}

int PowerCut::PendingChanges() const {
  int changes = 0;
  Tree tree;
  Survive(
      rootKey_, "", [&](const std::string&) { return ++changes, true; }, &tree, 0, nullptr);
  return changes;
}

}  // namespace veldar::testing
