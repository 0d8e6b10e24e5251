#pragma once
// Trees described in memory, for the tests that break runs on purpose: build
// one on disk, read one back, compare two, and ask rsync whether a copy
// matches its source. Everything here uses the system directly, never the
// engine's OS layer, so that it checks the engine independently.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/test_util.h"  // WaitForNewTimestamps

namespace veldar::testing {

// One entry of a tree. Directories carry only their kind: the engine makes
// them anew and gives them no times or modes of the source's.
struct Node {
  enum Kind { kFile, kDir, kLink, kOther } kind = kFile;
  std::string data;        // a file's content or a link's text
  mode_t mode = 0644;      // permission bits of a file
  std::int64_t mtime = 0;  // seconds; 0 when building: leave the time alone
  long mtimeNsec = 0;
};

// Relative path ("a/b.txt") -> entry. A path's parent comes before it.
using Tree = std::map<std::string, Node>;

// The name of the manifest the program writes at the top of every copy: the
// program's, not the tree's. ReadTree and RsyncChanges leave it out;
// ManifestProblems checks it.
inline constexpr char kManifestFile[] = ".veldar2-manifest";

Node FileNode(const std::string& content, std::int64_t mtime, mode_t mode = 0644);
Node DirNode();
Node LinkNode(const std::string& text, std::int64_t mtime);

// Creates every entry of `tree` below `root` (which is created if missing).
void BuildTree(const std::string& root, const Tree& tree);
// Everything below `root`, links not followed, manifests left out; empty
// when `root` is missing.
Tree ReadTree(const std::string& root);
// What is wrong with the manifest at the top of the copy `root`, read and
// checked here on its own (the format's text, xxhash's XXH3-128): every entry
// must name a file of that size, time and content, and every file must have
// one (but for the run lock at the top). Empty when it holds; "no manifest" when there is none.
std::string ManifestProblems(const std::string& root);
// The same for the manifest beside the file generation `generation` in the
// backup directory `backup` ("." + generation + ".veldar2-manifest"): it must
// list that file, and nothing else.
std::string FileManifestProblems(const std::string& backup, const std::string& generation);
// The first differences between `want` and `got` (kind, content, link text,
// and for files and links their mode and time), or empty when they match.
std::string TreeDiff(const Tree& want, const Tree& got);
// `tree` without the entries whose last path component satisfies `drop`, and
// without anything below such an entry.
Tree Without(const Tree& tree, const std::function<bool(const std::string& name)>& drop);
// True for the name of a copy's temporary file (".~<name>.<suffix>.tmp").
bool IsTempName(const std::string& name);

// What `rsync -a --checksum --delete` would still change to make `copy` equal
// `source` (its itemized lines), leaving out directories whose only difference
// is their time. Empty: the copy is complete and exact, times included.
std::string RsyncChanges(const std::string& source, const std::string& copy);

// The creation time of `path` in nanoseconds (statx), -1 when unknown.
std::int64_t BirthNs(const std::string& path);

// Removes `path` with everything in it, however deep.
void RemoveTree(const std::string& path);

// A fresh directory on a memory file system when there is one (/dev/shm):
// loops that copy trees hundreds of times would otherwise spend their time in
// fsync. Removed with everything in it when the object goes.
class FastTempDir {
 public:
  FastTempDir();
  ~FastTempDir();
  FastTempDir(const FastTempDir&) = delete;
  FastTempDir& operator=(const FastTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

}  // namespace veldar::testing
