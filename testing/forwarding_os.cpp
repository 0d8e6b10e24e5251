#include "testing/forwarding_os.h"

#include <type_traits>
#include <utility>

namespace veldar {

const char* OsOpName(OsOp op) {
  switch (op) {
#define VELDAR_OS_OP_NAME(Name, Parameters, Arguments, Effect) \
  case OsOp::Name:                                             \
    return #Name;
    VELDAR_OS_DIR_OPERATIONS(VELDAR_OS_OP_NAME)
    VELDAR_OS_OPERATIONS(VELDAR_OS_OP_NAME)
#undef VELDAR_OS_OP_NAME
  }
  return "?";
}

bool ChangesFileSystem(OsOp op) {
  constexpr bool Changes = true, Reads = false;
  switch (op) {
#define VELDAR_OS_OP_CHANGES(Name, Parameters, Arguments, Effect) \
  case OsOp::Name:                                                \
    return Effect;
    VELDAR_OS_DIR_OPERATIONS(VELDAR_OS_OP_CHANGES)
    VELDAR_OS_OPERATIONS(VELDAR_OS_OP_CHANGES)
#undef VELDAR_OS_OP_CHANGES
  }
  return false;
}

namespace {

// Before an `Os` operation: its outputs cleared, and the path it acts on
// (its first, empty for none).
template <typename... Args>
std::string Prepare(Args&... args) {
  std::string path;
  bool found = false;
  auto prepare = [&](auto& argument) {
    using Type = std::remove_cvref_t<decltype(argument)>;
    if constexpr (std::is_same_v<Type, std::string>) {
      if (!found) path = argument;
      found = true;
    } else if constexpr (std::is_same_v<Type, std::unique_ptr<OsFile>*>) {
      argument->reset();
    }
  };
  (prepare(args), ...);
  return path;
}

// A directory of the real system opened through a ForwardingOs: every
// operation goes through the ForwardingOs's `Perform` under the entry's full
// path, and reaches the real directory through the ForwardingOs's hook.
class ForwardingDir final : public OsDir {
 public:
  ForwardingDir(ForwardingOs& os, std::unique_ptr<OsDir> real) : os_(os), real_(std::move(real)) {}

  const std::string& Path() const override { return real_->Path(); }

#define VELDAR_FORWARDING_DIR_OPERATION(Name, Parameters, Arguments, Effect)                                      \
  Status Name Parameters override {                                                                               \
    return Forward(OsOp::Name,                                                                                    \
                   [this](auto&... real) { return os_.Name(*real_, real...); } VELDAR_COMMA_ARGUMENTS Arguments); \
  }
  VELDAR_OS_DIR_OPERATIONS(VELDAR_FORWARDING_DIR_OPERATION)
#undef VELDAR_FORWARDING_DIR_OPERATION

  bool CanClone() override { return os_.CanClone(*real_); }
  std::int64_t TimeResolutionNs() override { return os_.TimeResolutionNs(*real_); }
  bool KeepsPermissions() override { return os_.KeepsPermissions(*real_); }

  // Wraps a directory of the real system opened by `os`.
  static void Wrap(ForwardingOs& os, const Status& code, std::unique_ptr<OsDir>* dir) {
    if (code.ok() && *dir) *dir = std::make_unique<ForwardingDir>(os, std::move(*dir));
  }

 private:
  // One operation: its paths found from its arguments (the first name, in
  // this directory; a second one, in the directory passed before it, if
  // any), its outputs cleared, `Perform` asked to make the call on the real
  // directories, and what the call hands out wrapped or shown to `Seen`.
  template <typename Call, typename... Args>
  Status Forward(OsOp op, Call call, Args&... args) {
    std::string path = Path(), path2;
    const ForwardingDir* second = this;
    int names = 0;
    (Locate(args, &path, &path2, &second, &names), ...);
    (Before(op, args), ...);
    const Status code = os_.Perform(op, path, path2, [&] { return call(Real(args)...); });
    (After(op, code, path, args), ...);
    return code;
  }

  void Locate(const std::string& name, std::string* path, std::string* path2, const ForwardingDir** second,
              int* names) const {
    if (*names == 0) *path = At(name);
    if (*names == 1) *path2 = (*second)->At(name);
    ++*names;
  }
  void Locate(OsDir& dir, std::string*, std::string*, const ForwardingDir** second, int*) const {
    *second = &Same(dir);
  }
  template <typename T>
  void Locate(const T&, std::string*, std::string*, const ForwardingDir**, int*) const {}

  static OsDir& Real(OsDir& dir) { return *Same(dir).real_; }
  template <typename T>
  static T& Real(T& argument) {
    return argument;
  }

  void Before(OsOp, std::unique_ptr<OsDir>* dir) { dir->reset(); }
  void Before(OsOp, std::vector<DirEntry>* entries) { entries->clear(); }
  void Before(OsOp, std::uint64_t* bytes) {
    if (bytes) *bytes = 0;
  }
  void Before(OsOp, std::string* text) { text->clear(); }
  void Before(OsOp op, CopyMode mode) {
    if (op == OsOp::CopyFile) os_.WillCopy(mode);
  }
  // A change that a double fails without making it failed in its first part
  // (the change comes before the part in the arguments).
  void Before(OsOp, const EntryChange& change) { firstPart_ = FirstPart(change); }
  void Before(OsOp, EntryPart* failed) {
    if (failed) *failed = firstPart_;
  }
  template <typename T>
  void Before(OsOp, const T&) {}

  void After(OsOp, const Status& code, const std::string&, std::unique_ptr<OsDir>* dir) { Wrap(os_, code, dir); }
  void After(OsOp, const Status& code, const std::string& path, FileStatus* status) {
    if (code.ok()) os_.Seen(path, status);
  }
  void After(OsOp, const Status&, const std::string&, std::vector<DirEntry>* entries) {
    for (DirEntry& entry : *entries) os_.Seen(At(entry.name), &entry.status);
  }
  void After(OsOp op, const Status& code, const std::string& path, bool* readFailed) {
    if (!code.ok() && readFailed && os_.FailsReading(op, path)) *readFailed = true;
  }
  template <typename T>
  void After(OsOp, const Status&, const std::string&, const T&) {}

  // The full path of an entry (of the directory itself for an empty name).
  std::string At(const std::string& name) const { return name.empty() ? Path() : os_.Paths().Join(Path(), name); }
  // A second directory of the same double.
  static ForwardingDir& Same(OsDir& dir) { return static_cast<ForwardingDir&>(dir); }

  ForwardingOs& os_;
  std::unique_ptr<OsDir> real_;
  EntryPart firstPart_ = EntryPart::kNone;  // of the change being forwarded
};

}  // namespace

Status ForwardingOs::Perform(OsOp, const std::string&, const std::string&, const std::function<Status()>& real) {
  return real();
}

Status ForwardingOs::OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) {
  dir->reset();
  const Status code = Perform(OsOp::OpenDir, path, {}, [&] { return real_.OpenDir(path, followLink, dir); });
  ForwardingDir::Wrap(*this, code, dir);
  return code;
}

#define VELDAR_FORWARDING_OS_OPERATION(Name, Parameters, Arguments, Effect)      \
  Status ForwardingOs::Name Parameters {                                         \
    const std::string where = Prepare Arguments;                                 \
    return Perform(OsOp::Name, where, {}, [&] { return real_.Name Arguments; }); \
  }
VELDAR_OS_OPERATIONS(VELDAR_FORWARDING_OS_OPERATION)
#undef VELDAR_FORWARDING_OS_OPERATION

}  // namespace veldar
