#pragma once
// PlanStore: a sequence of bytes that is written once and then read once,
// from the start, in memory up to `kMemoryLimit` and beyond it in an unnamed
// scratch file, so that a plan of a tree of any size costs a bounded amount
// of memory.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/os.h"

namespace veldar {

class PlanStore {
 public:
  explicit PlanStore(Os& os) : os_(os) {}

  void Append(const void* data, std::size_t size);
  // Starts reading from the beginning; appending is over.
  void Rewind();
  // Reads `size` bytes; false at the end (or when the scratch file fails).
  bool Read(void* data, std::size_t size);

  template <typename T>
  void Put(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    Append(&value, sizeof value);
  }
  void PutString(const std::string& text);
  template <typename T>
  bool Get(T* value) {
    static_assert(std::is_trivially_copyable_v<T>);
    return Read(value, sizeof *value);
  }
  bool GetString(std::string* text);

  // Whether the data could be kept (a scratch file that failed loses it,
  // with `error`; where none can be made, everything stays in memory).
  bool ok() const { return ok_; }
  const Status& error() const { return error_; }

  static constexpr std::size_t kMemoryLimit = std::size_t{1} << 20;

 private:
  bool FillBuffer();

  Os& os_;
  std::unique_ptr<OsFile> spill_;  // made when the memory limit is first reached
  std::string buffer_;             // writing: the tail not yet spilled; reading: a chunk
  std::size_t position_ = 0;       // reading: next byte of `buffer_`
  std::uint64_t spilled_ = 0;      // bytes in the scratch file
  std::uint64_t readFromSpill_ = 0;
  std::string tail_;  // reading: the part that never left memory
  bool readingTail_ = false;
  bool ok_ = true;
  bool inMemoryOnly_ = false;
  Status error_;
};

}  // namespace veldar
