#include "testing/memory_os.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "platform/temporary_names.h"

namespace veldar {

struct MemoryOs::Node {
  EntryKind kind = EntryKind::File;
  std::string content;                                   // a file's bytes, a link's text
  std::map<std::string, std::shared_ptr<Node>> entries;  // a directory's
  std::uint32_t permissions = 0644;
  std::uint32_t owner = 0, group = 0;
  std::int64_t mtime = 0, birth = 0;
  std::uint64_t inode = 0;
  std::uint32_t links = 1;
  bool removed = false;    // a directory removed while open
  bool exclusive = false;  // held by `OpenExclusive`
  bool lockHeld = false;   // a directory whose run lock is taken
};

struct MemoryOs::Tree {
  std::mutex mutex;
  std::shared_ptr<Node> root;
  std::uint64_t nextInode = 1;
  std::int64_t clock = 1'600'000'000;
  int temporaries = 0;

  std::shared_ptr<Node> Make(EntryKind kind, std::uint32_t permissions) {
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->permissions = permissions;
    node->inode = nextInode++;
    node->mtime = node->birth = ++clock;
    return node;
  }
};

namespace {

using Node = MemoryOs::Node;
using NodePtr = std::shared_ptr<Node>;

constexpr int kCodeBase = 1000;

Status Fail(ErrorKind kind) { return Status::Make(kCodeBase + static_cast<int>(kind), kind); }

void Fill(const Node& node, FileStatus* status) {
  *status = FileStatus{};
  status->kind = node.kind;
  status->mtimeSec = node.mtime;
  status->birthSec = node.birth;
  status->size = node.kind == EntryKind::Directory ? 0 : node.content.size();
  status->allocated = status->size;
  status->links = node.links;
  status->permissions = node.permissions;
  status->owner = node.owner;
  status->group = node.group;
  status->device = 1;
  status->inode = node.inode;
  status->mountId = 1;
  status->attributes.directory = node.kind == EntryKind::Directory;
  status->attributes.readOnly = (node.permissions & 0200) == 0;
  status->attributes.native = node.permissions;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path + "/") {
    if (c != '/') {
      part += c;
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  return parts;
}

bool BadName(const std::string& name) {
  return name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos;
}

// Walks `path` from the root, following links met on the way (and the last
// one with `followLast`). Receives the entry and the names of the canonical
// path to it. Under the tree's lock.
Status Resolve(MemoryOs::Tree& tree, const std::string& path, bool followLast, NodePtr* found,
               std::vector<std::string>* canonical = nullptr) {
  std::vector<NodePtr> stack{tree.root};
  std::vector<std::string> names;
  std::vector<std::string> rest = Components(path);
  std::reverse(rest.begin(), rest.end());
  int hops = 0;
  while (!rest.empty()) {
    const std::string part = rest.back();
    rest.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      if (stack.size() > 1) stack.pop_back(), names.pop_back();
      continue;
    }
    const NodePtr& dir = stack.back();
    if (dir->kind != EntryKind::Directory) return Fail(ErrorKind::kNotDirectory);
    auto entry = dir->entries.find(part);
    if (entry == dir->entries.end()) return Fail(ErrorKind::kNotFound);
    const NodePtr node = entry->second;
    if (node->kind == EntryKind::Symlink && (!rest.empty() || followLast)) {
      if (++hops > 40) return Fail(ErrorKind::kNotDirectory);
      std::vector<std::string> target = Components(node->content);
      if (!node->content.empty() && node->content[0] == '/') {
        stack.resize(1);
        names.clear();
      }
      for (auto it = target.rbegin(); it != target.rend(); ++it) rest.push_back(*it);
      continue;
    }
    stack.push_back(node);
    names.push_back(part);
  }
  *found = stack.back();
  if (canonical) *canonical = names;
  return Status();
}

// The parent directory of `path` and the name in it, made when `make`.
Status Parent(MemoryOs::Tree& tree, const std::string& path, NodePtr* parent, std::string* name) {
  std::vector<std::string> parts = Components(path);
  if (parts.empty()) return Fail(ErrorKind::kInvalid);
  *name = parts.back();
  parts.pop_back();
  std::string directory = "/";
  for (const std::string& part : parts) directory += part + "/";
  Status code = Resolve(tree, directory, true, parent);
  if (code.ok() && (*parent)->kind != EntryKind::Directory) code = Fail(ErrorKind::kNotDirectory);
  return code;
}

// An exclusively opened file, or a scratch file (no name).
class MemoryFile : public OsFile {
 public:
  MemoryFile(std::shared_ptr<MemoryOs::Tree> tree, NodePtr node) : tree_(std::move(tree)), node_(std::move(node)) {}
  ~MemoryFile() override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    node_->exclusive = false;
  }
  Status Size(std::uint64_t* size) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    *size = node_->content.size();
    return Status();
  }
  Status Append(const std::string& data) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    node_->content += data;
    node_->mtime = ++tree_->clock;
    return Status();
  }
  Status ReadAt(std::uint64_t offset, std::size_t count, std::string* out) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    out->clear();
    if (offset < node_->content.size()) *out = node_->content.substr(offset, count);
    return Status();
  }
  Status Sync() override { return Status(); }

 private:
  std::shared_ptr<MemoryOs::Tree> tree_;
  NodePtr node_;
};

class MemoryDir : public OsDir {
 public:
  MemoryDir(MemoryOs& os, std::shared_ptr<MemoryOs::Tree> tree, NodePtr node, std::string path)
      : os_(os), tree_(std::move(tree)), node_(std::move(node)), path_(std::move(path)) {}
  ~MemoryDir() override {
    if (lockName_.empty()) return;
    std::lock_guard<std::mutex> lock(tree_->mutex);
    node_->lockHeld = false;
    node_->entries.erase(lockName_);
  }

  const std::string& Path() const override { return path_; }

  Status Stat(FileStatus* status) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    Fill(*node_, status);
    return Status();
  }
  Status FreshStat(FileStatus* status) override { return Stat(status); }
  Status List(std::vector<DirEntry>* entries, const NameFilter& wanted) override {
    entries->clear();
    std::lock_guard<std::mutex> lock(tree_->mutex);
    if (node_->removed) return Fail(ErrorKind::kNotFound);
    for (const auto& [name, node] : node_->entries) {
      if (wanted && !wanted(name)) continue;
      DirEntry entry{name, {}};
      Fill(*node, &entry.status);
      entries->push_back(entry);
    }
    return Status();
  }
  Status StatAt(const std::string& name, FileStatus* status, bool followLink) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(name, &node); !code.ok()) return code;
    if (followLink && node->kind == EntryKind::Symlink) {
      const std::string& text = node->content;
      if (Status code = Resolve(*tree_, text[0] == '/' ? text : path_ + "/" + text, true, &node); !code.ok()) {
        return code;
      }
    }
    Fill(*node, status);
    return Status();
  }
  Status ReadLinkAt(const std::string& name, std::string* text) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(name, &node); !code.ok()) return code;
    if (node->kind != EntryKind::Symlink) return Fail(ErrorKind::kInvalid);
    *text = node->content;
    return Status();
  }
  Status OpenForReading(const std::string& name, std::unique_ptr<OsFile>* file) override {
    file->reset();
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(name, &node); !code.ok()) return code;
    if (node->kind != EntryKind::File) return Fail(ErrorKind::kOther);
    *file = std::make_unique<MemoryFile>(tree_, node);
    return Status();
  }
  Status CreateNewFile(const std::string& name, std::unique_ptr<OsFile>* file) override {
    file->reset();
    std::lock_guard<std::mutex> lock(tree_->mutex);
    if (Status code = Writable(name); !code.ok()) return code;
    if (node_->entries.count(name)) return Fail(ErrorKind::kExists);
    NodePtr node = tree_->Make(EntryKind::File, 0600);
    Put(name, node);
    *file = std::make_unique<MemoryFile>(tree_, node);
    return Status();
  }
  Status OpenDir(const std::string& name, std::unique_ptr<OsDir>* dir) override {
    dir->reset();
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(name, &node); !code.ok()) return code;
    if (node->kind != EntryKind::Directory) return Fail(ErrorKind::kNotDirectory);
    *dir = std::make_unique<MemoryDir>(os_, tree_, node, os_.Paths().Join(path_, name));
    return Status();
  }
  Status CreateDir(const std::string& name) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    if (Status code = Writable(name); !code.ok()) return code;
    if (node_->entries.count(name)) return Fail(ErrorKind::kExists);
    Put(name, tree_->Make(EntryKind::Directory, 0700));
    return Status();
  }
  Status DeleteFile(const std::string& name) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(name, &node); !code.ok()) return code;
    if (node->kind == EntryKind::Directory) return Fail(ErrorKind::kOther);
    Remove(name);
    return Status();
  }
  Status RemoveDir(const std::string& name) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(name, &node); !code.ok()) return code;
    if (node->kind != EntryKind::Directory) return Fail(ErrorKind::kNotDirectory);
    if (!node->entries.empty()) return Fail(ErrorKind::kNotEmpty);
    node->removed = true;
    Remove(name);
    return Status();
  }
  Status MoveNoReplace(const std::string& from, OsDir& toDir, const std::string& to) override {
    auto& other = static_cast<MemoryDir&>(toDir);
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(from, &node); !code.ok()) return code;
    if (Status code = other.Writable(to); !code.ok()) return code;
    if (other.node_->entries.count(to)) return Fail(ErrorKind::kExists);
    node_->entries.erase(from);
    other.node_->entries[to] = node;
    Touch();
    other.Touch();
    return Status();
  }
  // Every move here refuses to replace.
  Status MoveIfFree(const std::string& from, OsDir& toDir, const std::string& to) override {
    return MoveNoReplace(from, toDir, to);
  }
  Status Exchange(const std::string& a, const std::string& b) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr first, second;
    if (Status code = Find(a, &first); !code.ok()) return code;
    if (Status code = Find(b, &second); !code.ok()) return code;
    std::swap(node_->entries[a], node_->entries[b]);
    Touch();
    return Status();
  }
  Status CopyFile(const std::string& name, OsDir& toDir, const std::string& to, CopyMode mode,
                  std::uint64_t* bytesCopied, bool* readFailed, CopyProgress* progress) override {
    if (bytesCopied) *bytesCopied = 0;
    if (readFailed) *readFailed = false;
    auto& other = static_cast<MemoryDir&>(toDir);
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr copy;
    if (Status code = Duplicate(name, &copy, readFailed); !code.ok()) return code;
    if (Status code = other.Writable(to); !code.ok()) return code;
    auto existing = other.node_->entries.find(to);
    if (existing != other.node_->entries.end()) {
      if (mode == CopyMode::FailIfExists) return Fail(ErrorKind::kExists);
      if (existing->second->kind == EntryKind::Directory) return Fail(ErrorKind::kOther);
    }
    if (Status code = Progress(progress, copy->content); !code.ok()) return code;
    other.Put(to, copy);
    if (bytesCopied) *bytesCopied = copy->content.size();
    return Status();
  }
  Status StageCopy(const std::string& name, OsDir& toDir, const std::string& to, std::string* temporary,
                   std::uint64_t* bytesCopied, bool* readFailed, CopyProgress* progress) override {
    if (bytesCopied) *bytesCopied = 0;
    if (readFailed) *readFailed = false;
    temporary->clear();
    auto& other = static_cast<MemoryDir&>(toDir);
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr copy;
    if (Status code = Duplicate(name, &copy, readFailed); !code.ok()) return code;
    if (Status code = other.Writable(to); !code.ok()) return code;
    if (Status code = Progress(progress, copy->content); !code.ok()) return code;
    char counter[32];
    std::snprintf(counter, sizeof counter, "%d-%08x-%d", os_.ProcessId(), 0x5eed, ++tree_->temporaries);
    *temporary = std::string(kTempPrefix) + to.substr(0, 16) + "." + counter + kTempSuffix;
    other.Put(*temporary, copy);
    if (bytesCopied) *bytesCopied = copy->content.size();
    return Status();
  }
  Status PlaceCopy(const std::string& temporary, const std::string& to, CopyMode mode) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(temporary, &node); !code.ok()) return code;
    if (Status code = Writable(to); !code.ok()) return code;
    auto existing = node_->entries.find(to);
    if (existing != node_->entries.end()) {
      if (mode == CopyMode::FailIfExists) return Fail(ErrorKind::kExists);
      if (existing->second->kind == EntryKind::Directory) return Fail(ErrorKind::kOther);
    }
    node_->entries.erase(temporary);
    Put(to, node);
    return Status();
  }
  Status CloneFile(const std::string& name, OsDir& toDir, const std::string& to, const FileStatus& expected) override {
    auto& other = static_cast<MemoryDir&>(toDir);
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(name, &node); !code.ok()) return code;
    if (Status code = Expected(*node, expected, true); !code.ok()) return code;
    if (Status code = other.Writable(to); !code.ok()) return code;
    if (other.node_->entries.count(to)) return Fail(ErrorKind::kExists);
    NodePtr copy;
    if (Status code = Duplicate(name, &copy, nullptr); !code.ok()) return code;
    other.Put(to, copy);
    return Status();
  }
  Status LinkFile(const std::string& name, OsDir& toDir, const std::string& to, const FileStatus& expected) override {
    auto& other = static_cast<MemoryDir&>(toDir);
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node;
    if (Status code = Find(name, &node); !code.ok()) return code;
    if (Status code = other.Writable(to); !code.ok()) return code;
    if (other.node_->entries.count(to)) return Fail(ErrorKind::kExists);
    if (Status code = Expected(*node, expected, false); !code.ok()) return code;
    ++node->links;
    other.node_->entries[to] = node;
    other.Touch();
    return Status();
  }
  Status ChangeEntry(const std::string& name, const EntryChange& change, EntryPart* failed) override {
    if (failed) *failed = FirstPart(change);
    // The directory itself takes only an owner and permissions.
    if (name.empty() && (change.attributes || change.readOnly || change.times)) return Fail(ErrorKind::kInvalid);
    const Status code = Change(name, [&](Node& node) {
      const bool link = node.kind == EntryKind::Symlink;
      if (change.owner) {
        node.owner = change.owner->owner;
        node.group = change.owner->group;
      }
      if (change.permissions && !link) node.permissions = *change.permissions & 07777;
      if (change.attributes && !link) node.permissions = change.attributes->native & 07777;
      if (change.readOnly && !link)
        node.permissions = *change.readOnly ? node.permissions & ~0222u : node.permissions | 0200u;
      if (change.times) node.mtime = *change.times;
    });
    if (failed && code.ok()) *failed = EntryPart::kNone;
    return code;
  }
  Status SyncFileSystem() override { return Status(); }
  Status Sync() override { return Status(); }
  bool CanClone() override { return true; }
  std::int64_t TimeResolutionNs() override { return 0; }
  bool KeepsPermissions() override { return true; }
  Status ProbeMedium(MediumTraits* traits) override {
    *traits = os_.medium;
    return Status();
  }
  Status Lock(const std::string& name) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    if (BadName(name)) return Fail(ErrorKind::kInvalid);
    if (node_->lockHeld) return Fail(ErrorKind::kLocked);
    if (Status code = Writable(name); !code.ok()) return code;
    auto existing = node_->entries.find(name);
    if (existing != node_->entries.end() && Blocks(*existing->second)) return Fail(ErrorKind::kExists);
    if (existing == node_->entries.end() || existing->second->kind != EntryKind::File || existing->second->links != 1) {
      Put(name, tree_->Make(EntryKind::File, 0600));
    }
    node_->lockHeld = true;
    lockName_ = name;
    return Status();
  }
  Status TestLock(const std::string& name) override {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    if (BadName(name)) return Fail(ErrorKind::kInvalid);
    if (node_->lockHeld) return Fail(ErrorKind::kLocked);
    auto existing = node_->entries.find(name);
    if (existing != node_->entries.end() && Blocks(*existing->second)) return Fail(ErrorKind::kExists);
    return Status();
  }

 private:
  // The entry `name` of this directory. Under the lock.
  Status Find(const std::string& name, NodePtr* node) {
    if (BadName(name)) return Fail(ErrorKind::kInvalid);
    auto found = node_->entries.find(name);
    if (found == node_->entries.end()) return Fail(ErrorKind::kNotFound);
    *node = found->second;
    return Status();
  }
  // Whether an entry on a lock's name stays there: a directory with entries.
  static bool Blocks(const Node& node) { return node.kind == EntryKind::Directory && !node.entries.empty(); }
  // Whether `name` may be made here. Under the lock.
  Status Writable(const std::string& name) {
    if (BadName(name)) return Fail(ErrorKind::kInvalid);
    if (node_->removed) return Fail(ErrorKind::kNotFound);
    return Status();
  }
  // Puts `node` under `name`, replacing what was there. Under the lock.
  void Put(const std::string& name, NodePtr node) {
    Remove(name);
    node_->entries[name] = std::move(node);
    Touch();
  }
  void Remove(const std::string& name) {
    auto found = node_->entries.find(name);
    if (found == node_->entries.end()) return;
    --found->second->links;
    node_->entries.erase(found);
    Touch();
  }
  void Touch() { node_->mtime = ++tree_->clock; }
  // A new file with the content, access and time of the file or link `name`.
  Status Duplicate(const std::string& name, NodePtr* copy, bool* readFailed) {
    NodePtr source;
    if (Status code = Find(name, &source); !code.ok()) {
      if (readFailed) *readFailed = true;
      return code;
    }
    if (source->kind != EntryKind::File && source->kind != EntryKind::Symlink) return Fail(ErrorKind::kOther);
    *copy = tree_->Make(source->kind, source->permissions);
    (*copy)->content = source->content;
    (*copy)->mtime = source->mtime;
    (*copy)->owner = source->owner;
    (*copy)->group = source->group;
    return Status();
  }
  // Whether `node` is still the file `expected` describes.
  static Status Expected(const Node& node, const FileStatus& expected, bool content) {
    if (node.kind != EntryKind::File || node.inode != expected.inode ||
        (content && (node.content.size() != expected.size || node.mtime != expected.mtimeSec))) {
      return Fail(ErrorKind::kChanged);
    }
    return Status();
  }
  static Status Progress(CopyProgress* progress, const std::string& content) {
    if (!progress) return Status();
    if (progress->Cancelled()) return Fail(ErrorKind::kCancelled);
    if (progress->WantsContent()) progress->Content(0, content.data(), content.size());
    progress->Advance(content.size());
    return Status();
  }
  template <typename Edit>
  Status Change(const std::string& name, Edit edit) {
    std::lock_guard<std::mutex> lock(tree_->mutex);
    NodePtr node = node_;
    if (!name.empty()) {
      if (Status code = Find(name, &node); !code.ok()) return code;
    }
    edit(*node);
    return Status();
  }

  MemoryOs& os_;
  std::shared_ptr<MemoryOs::Tree> tree_;
  NodePtr node_;
  std::string path_;
  std::string lockName_;
};

}  // namespace

MemoryOs::MemoryOs() : tree_(std::make_shared<Tree>()) {
  tree_->root = tree_->Make(EntryKind::Directory, 0755);
  AddDir("/tmp");
}

MemoryOs::~MemoryOs() = default;

namespace {

// Makes the parents of `path` and puts `node` there, replacing what was.
void Place(MemoryOs::Tree& tree, const std::string& path, const NodePtr& node) {
  NodePtr dir = tree.root;
  std::vector<std::string> parts = Components(path);
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    NodePtr& next = dir->entries[parts[i]];
    if (!next) next = tree.Make(EntryKind::Directory, 0755);
    dir = next;
  }
  if (!parts.empty()) dir->entries[parts.back()] = node;
}

}  // namespace

void MemoryOs::AddFile(const std::string& path, const std::string& content, std::int64_t mtime) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr node = tree_->Make(EntryKind::File, 0644);
  node->content = content;
  if (mtime != 0) node->mtime = mtime;
  Place(*tree_, path, node);
}

void MemoryOs::AddDir(const std::string& path) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr existing;
  if (Resolve(*tree_, path, true, &existing).ok()) return;
  Place(*tree_, path, tree_->Make(EntryKind::Directory, 0755));
}

void MemoryOs::AddLink(const std::string& path, const std::string& text, std::int64_t mtime) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr node = tree_->Make(EntryKind::Symlink, 0777);
  node->content = text;
  if (mtime != 0) node->mtime = mtime;
  Place(*tree_, path, node);
}

void MemoryOs::AddSpecial(const std::string& path) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  Place(*tree_, path, tree_->Make(EntryKind::Special, 0644));
}

std::optional<std::string> MemoryOs::Content(const std::string& path) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr node;
  if (!Resolve(*tree_, path, false, &node).ok() || node->kind != EntryKind::File) return std::nullopt;
  return node->content;
}

Status MemoryOs::OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) {
  dir->reset();
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr node;
  if (Status code = Resolve(*tree_, path, followLink, &node); !code.ok()) return code;
  if (node->kind != EntryKind::Directory) return Fail(ErrorKind::kNotDirectory);
  *dir = std::make_unique<MemoryDir>(*this, tree_, node, path);
  return Status();
}

Status MemoryOs::Access(const std::string& path, int mode) {
  if (mode != 0 && mode != 2 && mode != 4 && mode != 6) return Fail(ErrorKind::kInvalid);
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr node;
  return Resolve(*tree_, path, true, &node);
}

Status MemoryOs::RealPath(const std::string& path, std::string* resolved) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr node;
  std::vector<std::string> names;
  if (Status code = Resolve(*tree_, path, true, &node, &names); !code.ok()) return code;
  resolved->clear();
  for (const std::string& name : names) *resolved += "/" + name;
  if (resolved->empty()) *resolved = "/";
  return Status();
}

Status MemoryOs::FreeSpace(const std::string& path, std::uint64_t* bytes) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr node;
  if (Status code = Resolve(*tree_, path, true, &node); !code.ok()) return code;
  *bytes = freeBytes;
  return Status();
}

Status MemoryOs::CreateDirTree(const std::string& path) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  std::string prefix;
  for (const std::string& part : Components(path)) {
    prefix += "/" + part;
    NodePtr node;
    if (Resolve(*tree_, prefix, true, &node).ok()) {
      if (node->kind != EntryKind::Directory) return Fail(ErrorKind::kExists);
      continue;
    }
    NodePtr parent;
    std::string name;
    if (Status code = Parent(*tree_, prefix, &parent, &name); !code.ok()) return code;
    parent->entries[name] = tree_->Make(EntryKind::Directory, 0700);
  }
  return Status();
}

Status MemoryOs::OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) {
  file->reset();
  std::lock_guard<std::mutex> lock(tree_->mutex);
  NodePtr parent;
  std::string name;
  if (Status code = Parent(*tree_, path, &parent, &name); !code.ok()) return code;
  NodePtr& node = parent->entries[name];
  if (!node) node = tree_->Make(EntryKind::File, 0600);
  if (node->kind != EntryKind::File) return Fail(ErrorKind::kOther);
  if (node->exclusive) return Fail(ErrorKind::kLocked);
  node->exclusive = true;
  *file = std::make_unique<MemoryFile>(tree_, node);
  return Status();
}

Status MemoryOs::OpenScratchFile(std::unique_ptr<OsFile>* file) {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  *file = std::make_unique<MemoryFile>(tree_, tree_->Make(EntryKind::File, 0600));
  return Status();
}

bool MemoryOs::IsAbandonedTemporary(std::string_view name) {
  const long writer = TemporaryWriter(name);
  return writer > 0 && writer != ProcessId();
}

std::int64_t MemoryOs::Now() {
  std::lock_guard<std::mutex> lock(tree_->mutex);
  return ++tree_->clock;
}

Status MemoryOs::Error(int code) const {
  if (code == 0) return Status();
  const int kind = code - kCodeBase;
  if (kind > 0 && kind <= static_cast<int>(ErrorKind::kOther)) return Status::Make(code, static_cast<ErrorKind>(kind));
  return Status::Make(code, ErrorKind::kOther);
}

Status MemoryOs::Error(ErrorKind kind) const { return kind == ErrorKind::kNone ? Status() : Fail(kind); }

std::string MemoryOs::ErrorText(const Status& status) { return "in-memory failure " + std::to_string(status.code()); }

}  // namespace veldar
