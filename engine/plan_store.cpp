#include "engine/plan_store.h"

#include <algorithm>
#include <cstring>

namespace veldar {

void PlanStore::Append(const void* data, std::size_t size) {
  buffer_.append(static_cast<const char*>(data), size);
  if (buffer_.size() < kMemoryLimit || !ok_) return;
  if (!spill_ && !inMemoryOnly_ && !os_.OpenScratchFile(&spill_).ok()) {
    spill_.reset();
    inMemoryOnly_ = true;  // no scratch file: the plan stays in memory
  }
  if (inMemoryOnly_) return;
  if (Status code = spill_->Append(buffer_); !code.ok()) {
    // What was spilled is lost: the plan cannot be read back whole.
    error_ = code;
    ok_ = false;
    spill_.reset();
    return;
  }
  spilled_ += buffer_.size();
  buffer_.clear();
}

void PlanStore::PutString(const std::string& text) {
  const auto size = static_cast<std::uint32_t>(text.size());
  Put(size);
  Append(text.data(), text.size());
}

void PlanStore::Rewind() {
  tail_ = std::move(buffer_);
  buffer_.clear();
  position_ = 0;
  readFromSpill_ = 0;
  readingTail_ = spilled_ == 0;
  if (readingTail_) buffer_ = std::move(tail_);
}

bool PlanStore::FillBuffer() {
  position_ = 0;
  buffer_.clear();
  if (!readingTail_ && readFromSpill_ < spilled_ && spill_) {
    const std::uint64_t want = std::min<std::uint64_t>(kMemoryLimit, spilled_ - readFromSpill_);
    if (!spill_->ReadAt(readFromSpill_, static_cast<std::size_t>(want), &buffer_).ok() || buffer_.empty()) {
      return false;
    }
    readFromSpill_ += buffer_.size();
    return true;
  }
  if (readingTail_) return false;
  readingTail_ = true;
  buffer_ = std::move(tail_);
  return !buffer_.empty();
}

bool PlanStore::Read(void* data, std::size_t size) {
  auto* out = static_cast<char*>(data);
  while (size > 0) {
    if (position_ == buffer_.size() && !FillBuffer()) return false;
    const std::size_t take = std::min(size, buffer_.size() - position_);
    std::memcpy(out, buffer_.data() + position_, take);
    position_ += take;
    out += take;
    size -= take;
  }
  return true;
}

bool PlanStore::GetString(std::string* text) {
  std::uint32_t size = 0;
  if (!Get(&size)) return false;
  text->resize(size);
  return size == 0 || Read(text->data(), size);
}

}  // namespace veldar
